// Method references: an object pointer and a code pointer (one thunk per
// member function), the way event handlers are stored. They can be
// unassigned, tested, called, and compared by code alone or by code and
// object, which handler deregistration needs.
#pragma once

#include <utility>

namespace sio {

template <typename Signature>
class TMethod;

// A method reference for handlers with the signature R(Args...).
template <typename R, typename... Args>
class TMethod<R(Args...)> {
 public:
  // The code pointer: called with the object pointer and the arguments.
  using Code = R (*)(void* self, Args... args);

  TMethod() = default;
  // From an object pointer and a code pointer.
  TMethod(void* self, Code code) : self_(self), code_(code) {}

  // A member function of an object: `TMethod<void(int)>::Of<&TFoo::Bar>(foo)`.
  template <auto MemberFn, typename C>
  static TMethod Of(C* self) {
    return TMethod(static_cast<void*>(self), &CallMember<C, MemberFn>);
  }
  // A plain function as a method reference with no object.
  template <R (*Fn)(Args...)>
  static TMethod OfFunction() {
    return TMethod(nullptr, &CallFunction<Fn>);
  }

  //@{
  // Whether a code pointer is set.
  bool Assigned() const { return code_ != nullptr; }
  explicit operator bool() const { return Assigned(); }
  //@}
  // Calls the code with the object pointer and the arguments; only when
  // assigned.
  R operator()(Args... args) const { return code_(self_, std::forward<Args>(args)...); }

  // Whether both have the same code, whatever their objects.
  bool SameCode(const TMethod& other) const { return code_ == other.code_; }
  // Whether both have the same code and the same object.
  bool operator==(const TMethod& other) const {
    return code_ == other.code_ && self_ == other.self_;
  }
  // The object pointer.
  void* Self() const { return self_; }
  // The code pointer.
  Code CodePtr() const { return code_; }

 private:
  template <typename C, auto MemberFn>
  static R CallMember(void* self, Args... args) {
    return (static_cast<C*>(self)->*MemberFn)(std::forward<Args>(args)...);
  }
  template <R (*Fn)(Args...)>
  static R CallFunction(void*, Args... args) {
    return Fn(std::forward<Args>(args)...);
  }

  void* self_ = nullptr;
  Code code_ = nullptr;
};

}  // namespace sio
