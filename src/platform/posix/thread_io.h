// Where the stand-in's threads meet its I/O manager.
#ifndef QUORVEL_PLATFORM_POSIX_THREAD_IO_H_
#define QUORVEL_PLATFORM_POSIX_THREAD_IO_H_

namespace qrv {
namespace posix {

// Called by an ending thread after its start routine: cancels the requests
// it issued that are still in flight and waits until each has completed, for
// at most kIoGiveUpMs (device.h).
void AwaitRequestsOfEndingThread();

}  // namespace posix
}  // namespace qrv

#endif  // QUORVEL_PLATFORM_POSIX_THREAD_IO_H_
