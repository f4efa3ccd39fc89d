int placeholder_unused = 0;
