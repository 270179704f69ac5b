// Runs a callable when the scope ends, unless dismissed.
#pragma once

#include <functional>
#include <utility>

class ScopeGuard {
public:
  template <class Callable>
  explicit ScopeGuard(Callable &&callable) : m_func(std::forward<Callable>(callable)), dismissed(false) {}

  // noexcept: a throwing callable ends the process rather than escaping a destructor.
  ~ScopeGuard() noexcept {
    if (m_func && !dismissed) m_func();
  }

  void dismiss() { dismissed = true; }

  // Runs the callable now; the destructor still runs it unless dismissed.
  void run() {
    if (m_func) m_func();
  }

  ScopeGuard(const ScopeGuard &) = delete;
  ScopeGuard &operator=(const ScopeGuard &) = delete;

private:
  std::function<void()> m_func;
  bool dismissed;
};
