#pragma once
// UniqueJob: an owned, move-only closure with no arguments and no result — the unit a scheduler
// runs. The closure is boxed once when the job is made; moving the job moves the pointer.
// (std::move_only_function arrives with C++23; std::function would demand copyable captures.)

#include <memory>
#include <type_traits>
#include <utility>

namespace arvex {

class UniqueJob {
 public:
  UniqueJob() noexcept = default;

  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, UniqueJob> && std::is_invocable_r_v<void, std::decay_t<F>&>)
  UniqueJob(F&& f) : box_(std::make_unique<Box<std::decay_t<F>>>(std::forward<F>(f))) {}

  UniqueJob(UniqueJob&&) noexcept = default;
  UniqueJob& operator=(UniqueJob&&) noexcept = default;

  explicit operator bool() const noexcept { return box_ != nullptr; }
  // Runs the closure; it stays owned by the job (and is destroyed with it).
  void operator()() { box_->run(); }

 private:
  struct BoxBase {
    virtual ~BoxBase() = default;
    virtual void run() = 0;
  };
  template <class F>
  struct Box final : BoxBase {
    explicit Box(F&& f) : fn(std::move(f)) {}
    explicit Box(const F& f) : fn(f) {}
    void run() override { fn(); }
    F fn;
  };

  std::unique_ptr<BoxBase> box_;
};

}  // namespace arvex
