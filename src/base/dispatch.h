// A thin typed layer over libdispatch's function-pointer (`_f`) API, so that
// C++ callables can be posted without the blocks extension.
#pragma once

#include <dispatch/dispatch.h>

#include <memory>
#include <type_traits>
#include <utility>

namespace zt {

namespace detail {
template <class F>
void invokeAndDelete(void* context) {
  std::unique_ptr<F> fn(static_cast<F*>(context));
  (*fn)();
}
template <class F>
void invokeKeep(void* context) {
  (*static_cast<F*>(context))();
}
template <class F>
void deleteContext(void* context) {
  delete static_cast<F*>(context);
}
}  // namespace detail

template <class F>
void async(dispatch_queue_t queue, F&& fn) {
  using Fn = std::decay_t<F>;
  dispatch_async_f(queue, new Fn(std::forward<F>(fn)), &detail::invokeAndDelete<Fn>);
}

template <class F>
void asyncAfter(dispatch_queue_t queue, int64_t nanoseconds, F&& fn) {
  using Fn = std::decay_t<F>;
  dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, nanoseconds), queue, new Fn(std::forward<F>(fn)),
                   &detail::invokeAndDelete<Fn>);
}

template <class F>
void sync(dispatch_queue_t queue, F&& fn) {
  using Fn = std::decay_t<F>;
  Fn copy(std::forward<F>(fn));
  dispatch_sync_f(queue, &copy, &detail::invokeKeep<Fn>);
}

// Installs `fn` as the source's event handler. The callable lives in the
// source's context and is destroyed with the source.
template <class F>
void setEventHandler(dispatch_source_t source, F&& fn) {
  using Fn = std::decay_t<F>;
  dispatch_set_context(source, new Fn(std::forward<F>(fn)));
  dispatch_set_finalizer_f(source, &detail::deleteContext<Fn>);
  dispatch_source_set_event_handler_f(source, &detail::invokeKeep<Fn>);
}

inline dispatch_queue_t mainQueue() { return dispatch_get_main_queue(); }

}  // namespace zt

// Debug-build check that the caller runs on `queue`, in the manner of a
// thread checker.
#ifndef NDEBUG
#define ZT_ASSERT_QUEUE(queue) dispatch_assert_queue(queue)
#else
#define ZT_ASSERT_QUEUE(queue) ((void)0)
#endif
#define ZT_ASSERT_MAIN_QUEUE() ZT_ASSERT_QUEUE(dispatch_get_main_queue())
