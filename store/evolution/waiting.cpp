#include "store/evolution/waiting.h"

#include <algorithm>

namespace ravu::evolution {

Waiting::Waiting(Clock::Monotonic until, const Clock& clock)
    : until_{until}, clock_{&clock}, pending_{new Pending}, cancellable_{g_cancellable_new()} {}

Waiting::~Waiting() {
    g_cancellable_cancel(cancellable_.get());
    release(pending_);
}

void Waiting::release(Pending* pending) {
    if (--pending->holders == 0) {
        if (pending->result != nullptr) {
            g_object_unref(pending->result);
        }
        delete pending;
    }
}

void Waiting::done(GObject*, GAsyncResult* result, gpointer data) {
    auto* pending = static_cast<Pending*>(data);
    pending->result = G_ASYNC_RESULT(g_object_ref(result));
    release(pending);
}

GAsyncResult* Waiting::wait() {
    GMainContext* context = g_main_context_default();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until_ - clock_->monotonic());
    bool late = left.count() <= 0;
    GSource* timer = g_timeout_source_new(static_cast<guint>(std::max<long>(left.count(), 0)));
    g_source_set_callback(
        timer,
        [](gpointer flag) {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &late, nullptr);
    g_source_attach(timer, context);
    while (pending_->result == nullptr && !late) {
        g_main_context_iteration(context, TRUE);
    }
    g_source_destroy(timer);
    g_source_unref(timer);
    if (pending_->result == nullptr) {
        g_cancellable_cancel(cancellable_.get());
    }
    return pending_->result;
}

}  // namespace ravu::evolution
