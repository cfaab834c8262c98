// Jobs: KoStateApprover, the callable a job asks before it takes a new
// state. Until one is set it always agrees; a cleared one (nullptr) makes
// the call throw std::bad_function_call, as an empty std::function does.
// The callable is held apart: most jobs keep the default, and every
// connection is a job, so a std::function of its own in each would cost
// four words for nothing.
// May use: the standard library.
#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

class KoStateApprover {
public:
    KoStateApprover() = default;

    template <class Callable>
        requires(!std::same_as<std::remove_cvref_t<Callable>, KoStateApprover>)
    KoStateApprover& operator=(Callable&& callable) {
        set_ = std::make_unique<std::function<bool()>>(std::forward<Callable>(callable));
        return *this;
    }

    bool operator()() const { return set_ ? (*set_)() : true; }

private:
    std::unique_ptr<std::function<bool()>> set_;
};
