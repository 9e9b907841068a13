#pragma once
// The processor hint of a busy wait: tells the core that this thread is spinning, so that a
// sibling hardware thread gets the pipeline and the spin costs less power. No memory effect.

namespace arvex::detail {

inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield" ::: "memory");
#endif
}

}  // namespace arvex::detail
