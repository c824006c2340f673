#pragma once
// Move-only, type-erased callables: the engine's currency for work that comes
// from the Python layer (ready callbacks, pool jobs).
#include <memory>
#include <type_traits>
#include <utility>

namespace velkor {

// Shows a garbage collector the foreign objects (Python objects, for the
// embedding layer) that a queued callable or a task holds. The engine never
// looks at them; it only passes each one to `visit`, and stops at the first
// non-zero result, which it hands back.
struct Visitor {
  int (*visit)(void* object, void* arg);
  void* arg;
  int operator()(void* object) const { return object ? visit(object, arg) : 0; }
};

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

  // Visits what the callable holds, when it has a `traverse(const Visitor&)`.
  int traverse(const Visitor& visit) const { return impl_ ? impl_->traverse(visit) : 0; }

  // True when the callable has a `bool cancelled() const` that says so: it
  // would do nothing if called, and its owner may drop it unrun. Asked under
  // the core mutex, so the answer must come without calling out.
  bool cancelled() const { return impl_ && impl_->cancelled(); }

 private:
  struct Concept {
    virtual ~Concept() = default;
    virtual void call() = 0;
    virtual int traverse(const Visitor& visit) const = 0;
    virtual bool cancelled() const = 0;
  };
  template <class F>
  struct Model final : Concept {
    explicit Model(F&& f) : fn(std::move(f)) {}
    explicit Model(const F& f) : fn(f) {}
    void call() override { fn(); }
    int traverse(const Visitor& visit) const override {
      if constexpr (requires { fn.traverse(visit); }) {
        return fn.traverse(visit);
      } else {
        return 0;
      }
    }
    bool cancelled() const override {
      if constexpr (requires { fn.cancelled(); }) {
        return fn.cancelled();
      } else {
        return false;
      }
    }
    F fn;
  };
  std::unique_ptr<Concept> impl_;
};

// A reusable callable shared between its owner and in-flight dispatches.
class FdCallback {
 public:
  virtual ~FdCallback() = default;
  virtual void operator()() = 0;
  virtual int traverse(const Visitor&) const { return 0; }
};

}  // namespace velkor
