#pragma once
// Move-only, type-erased callables: the engine's currency for work that comes
// from the Python layer (ready callbacks, pool jobs).
#include <memory>
#include <type_traits>
#include <utility>

namespace velkor {

// A one-shot callable taking no arguments. Calling it consumes it.
class OnceFunction {
 public:
  OnceFunction() = default;
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, OnceFunction>>>
  OnceFunction(F&& f) : impl_(std::make_unique<Model<std::decay_t<F>>>(std::forward<F>(f))) {}

  explicit operator bool() const { return impl_ != nullptr; }

  void operator()() && {
    auto impl = std::move(impl_);
    impl->call();
  }

 private:
  struct Concept {
    virtual ~Concept() = default;
    virtual void call() = 0;
  };
  template <class F>
  struct Model final : Concept {
    explicit Model(F&& f) : fn(std::move(f)) {}
    explicit Model(const F& f) : fn(f) {}
    void call() override { fn(); }
    F fn;
  };
  std::unique_ptr<Concept> impl_;
};

// A reusable callable shared between its owner and in-flight dispatches.
class FdCallback {
 public:
  virtual ~FdCallback() = default;
  virtual void operator()() = 0;
};

}  // namespace velkor
