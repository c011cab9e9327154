#pragma once

// tessel-cli maps the images it reads. Should another process cut an image file short meanwhile, the
// next read of a lost page raises SIGBUS; this turns that into a clean failure, as for any input that
// cannot be read: one line on stderr and exit status 2, instead of a core dump.
void stopCleanlyWhenAnInputShrinks();
