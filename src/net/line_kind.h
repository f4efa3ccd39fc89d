// How an outgoing line is treated on its way out, and what became of it.
#ifndef QV_NET_LINE_KIND_H
#define QV_NET_LINE_KIND_H

enum class LineKind {
    Script,        // paced; refused while too much waits
    Continuation,  // more lines of a script call already let in: paced, never
                   // refused, so a message is never cut short
    Reply,         // an automatic CTCP reply: paced, and only a few may wait
    Background,    // the module's own query: paced, let out only while no
                   // other paced line waits, never refused
    Urgent,        // PONG, and QUIT on close: never paced, never waits on the pace
};

enum class SendResult {
    Queued,   // written, or waiting in order to be
    Dropped,  // not connected: nothing goes out
    Refused,  // too much waits already
};

#endif
