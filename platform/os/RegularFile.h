#pragma once
// Opening a media file by path without ever blocking: only a regular file
// (after symbolic links) is opened. A FIFO without a writer would block
// open() until one comes, and a device, socket or folder is no media file,
// so each of them is refused before it is opened.

// A read-only descriptor (close-on-exec, blocking reads) of the regular file
// at `path`, or -1 with errno: EINVAL when `path` names something else than
// a regular file, else what stat() or open() reported.
int OpenRegularFileForReading(const char* path);
