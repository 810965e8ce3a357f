// DeliveryThread: the library's thread for delegate calls of ports that
// deliver on the library's threads (DelegateDelivery::LibraryThread) when
// the port's own reading thread cannot make them: the opening, an error of a
// call made on the program's thread, a reply found on the pool, the close.
//
// One thread for the process, started on first use and never ended. It is
// not a thread of the background pool, so a delegate call that waits on a
// device here (a sendData() that the far end holds up) holds up other ports'
// deliveries of this kind, as a busy main thread would, but never the pool's
// reading, closing, requests or hot plug.
//
// Threading: post() may be called from any thread; tasks run one at a time,
// in the order posted. A task that throws is logged and the rest go on.
#pragma once

#include <functional>

namespace valmor {

namespace DeliveryThread {

// Runs task on the delivery thread after the tasks posted before it; never
// inside this call.
void post(std::function<void()> task);

// True on the delivery thread.
bool isCurrent();

}  // namespace DeliveryThread

}  // namespace valmor
