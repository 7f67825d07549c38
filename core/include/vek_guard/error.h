// Error values shared by every module.
//
// Failure is ordinary input for a supervisor (a pid that exits between two
// reads, a torn journal tail, EINTR), so errors are values that show up in
// signatures rather than exceptions. Each module declares a small
// `enum class` of the failures its callers act on differently, and a
// `constexpr std::string_view error_message(Kind)` next to it that gives each
// kind its fixed text. The texts are constant, so building or printing an
// error never allocates, which keeps them usable after fork and near signal
// handlers.
//
//   Result<int, StorageError> r = ...;
//   if (!r) return unexpected(r.error());
//   use(*r);
#ifndef VEK_GUARD_ERROR_H_
#define VEK_GUARD_ERROR_H_

#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace vek_guard {

// A failure kind together with the operating-system error (errno) that caused
// it, when there was one. The errno travels with the error for diagnosis and
// tests; it is never part of the displayed text, which is the kind's message.
template <class Kind>
struct KindError {
  Kind kind{};
  std::optional<int> os_error;

  // The kind's fixed message, found by argument-dependent lookup of
  // `error_message(Kind)` in the kind's namespace.
  constexpr std::string_view message() const { return error_message(kind); }

  friend constexpr bool operator==(const KindError&, const KindError&) = default;
};

// Marks a value as the error alternative of a Result, so that a Result whose
// value and error types coincide is still unambiguous.
template <class E>
struct Unexpected {
  E error;
};

template <class E>
constexpr Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return Unexpected<std::decay_t<E>>{std::forward<E>(error)};
}

// A value or an error; a stand-in for std::expected until C++23 is available.
// Accessing the value of an error result (or the error of a value result) is a
// programming error and is not checked beyond what std::variant does.
template <class T, class E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  // Implicit on purpose: `return value;` and `return unexpected(e);` both work.
  constexpr Result(T value)  // NOLINT(google-explicit-constructor)
      : storage_(std::in_place_index<0>, std::move(value)) {}
  template <class U>
  constexpr Result(Unexpected<U> error)  // NOLINT(google-explicit-constructor)
      : storage_(std::in_place_index<1>, E(std::move(error.error))) {}

  constexpr bool ok() const { return storage_.index() == 0; }
  constexpr explicit operator bool() const { return ok(); }

  constexpr T& value() & { return std::get<0>(storage_); }
  constexpr const T& value() const& { return std::get<0>(storage_); }
  constexpr T&& value() && { return std::get<0>(std::move(storage_)); }
  constexpr const E& error() const& { return std::get<1>(storage_); }
  constexpr E&& error() && { return std::get<1>(std::move(storage_)); }

  constexpr T& operator*() & { return value(); }
  constexpr const T& operator*() const& { return value(); }
  constexpr T&& operator*() && { return std::move(*this).value(); }
  constexpr T* operator->() { return &value(); }
  constexpr const T* operator->() const { return &value(); }

  friend constexpr bool operator==(const Result&, const Result&) = default;

 private:
  std::variant<T, E> storage_;
};

// Success without a value, or an error.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  constexpr Result() = default;
  template <class U>
  constexpr Result(Unexpected<U> error)  // NOLINT(google-explicit-constructor)
      : error_(E(std::move(error.error))) {}

  constexpr bool ok() const { return !error_.has_value(); }
  constexpr explicit operator bool() const { return ok(); }
  constexpr const E& error() const { return *error_; }

  friend constexpr bool operator==(const Result&, const Result&) = default;

 private:
  std::optional<E> error_;
};

}  // namespace vek_guard

#endif  // VEK_GUARD_ERROR_H_
