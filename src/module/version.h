#ifndef QV_MODULE_VERSION_H
#define QV_MODULE_VERSION_H

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 2;
constexpr int kBuildNumber = 200;

#endif
