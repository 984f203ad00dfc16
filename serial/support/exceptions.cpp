#include "serial/support/exceptions.h"

#include <algorithm>
#include <array>
#include <type_traits>

#include "serial/support/component.h"
#include "serial/support/error_codes.h"
#include "serial/support/messages.h"

namespace sio {

Exception::Exception(const std::string& message)
    : message_(std::make_shared<const std::string>(message)) {}

const char* Exception::what() const noexcept {
  return message_->c_str();
}

// MessageForCode looks at the absolute value of the code's 16-bit view, which
// is the same for the code and its negation; passing the code itself avoids
// negating the most negative value.
ESioException::ESioException(int32_t code) : Exception(MessageForCode(code)), errorCode_(code) {}

ESioException::ESioException(const std::string& text) : Exception(text), errorCode_(0) {}

ESioException::ESioException(int32_t code, const std::string& text)
    : Exception(text), errorCode_(code) {}

EInOutError::EInOutError(int32_t errorNumber)
    : Exception(MessageForCode(errorNumber)), errorCode_(errorNumber) {}

EInOutError::EInOutError(const std::string& message, int32_t errorNumber)
    : Exception(message), errorCode_(errorNumber) {}

const char* EOutOfMemory::what() const noexcept {
  const char* text = TableMessageForCode(ecOutOfMemory);
  return text != nullptr ? text : std::bad_alloc::what();
}

namespace {

using Raiser = void (*)(int32_t code);

template <class E>
[[noreturn]] void Raise(int32_t code) {
  throw E(code);
}

struct CodeClass {
  int32_t code;
  Raiser raise;
};

// Marks the rows of codes without a class of their own.
struct NoOwnClass;

template <class E>
constexpr Raiser RaiserOf() {
  if constexpr (std::is_same_v<E, NoOwnClass>) {
    return nullptr;
  } else {
    return &Raise<E>;
  }
}

// Every result code, descending; a null raiser leaves the code to the
// fallbacks of RaiseSioError.
constexpr std::array kCodeClasses = std::to_array<CodeClass>({
#define SIO_ERROR(code, name, text, cls) {code, RaiserOf<cls>()},
#define SIO_ERROR_UNNAMED(code, text, cls) {code, RaiserOf<cls>()},
#include "serial/support/error_table.h"
});

constexpr bool StrictlyDescending() {
  for (std::size_t i = 1; i < kCodeClasses.size(); ++i) {
    if (kCodeClasses[i - 1].code <= kCodeClasses[i].code) return false;
  }
  return true;
}
static_assert(StrictlyDescending(), "each code has one class; the search needs the order");

const CodeClass* FindClass(int32_t code) {
  const auto it =
      std::lower_bound(kCodeClasses.begin(), kCodeClasses.end(), code,
                       [](const CodeClass& entry, int32_t key) { return entry.code > key; });
  return it != kCodeClasses.end() && it->code == code ? &*it : nullptr;
}

}  // namespace

void RaiseSioError(int32_t code) {
  const CodeClass* entry = FindClass(code);
  if (entry != nullptr && entry->raise != nullptr) entry->raise(code);
  if (code == ecOutOfMemory) throw EOutOfMemory();
  if (code <= ecFirstIoError && code >= ecLastIoError) throw EInOutError(-code);
  // The code does not travel with the plain exception: ErrorCode stays 0.
  throw ESioException(std::string(kSioExceptionText));
}

int32_t RaiseIfError(const TComponent* component, int32_t code) {
  if (code >= 0) return code;
  // While a component is being loaded from its stored layout its settings are
  // applied out of order; errors then are not the caller's to handle.
  if (component != nullptr && component->IsLoading()) return code;
  RaiseSioError(code);
}

int32_t RaiseIfError(int32_t code) {
  return RaiseIfError(nullptr, code);
}

}  // namespace sio
