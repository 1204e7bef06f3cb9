#include "src/runtime/event_loop_resume.h"

#include <QCoreApplication>

namespace sonavert {

void resumeFromEventLoop(std::coroutine_handle<> waiter) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [waiter] { waiter.resume(); }, Qt::QueuedConnection);
}

bool EventLoopYield::await_ready() const noexcept {
    return QCoreApplication::instance() == nullptr;
}

} // namespace sonavert
