#pragma once

// Exit statuses of tessel-cli, as cmp and diff use them.
enum ExitStatus : int {
    exitSuccess = 0,
    // A refused action, a failed write, or a verification that found something that does not hold.
    exitRefused = 1,
    // Bad usage, or an input that cannot be read (an image without a DMH included).
    exitBadInput = 2,
    // The reader of standard output went away (| head): 128 + SIGPIPE, what a shell reports for a filter
    // that the signal ended.
    exitClosedPipe = 141,
};
