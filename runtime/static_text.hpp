// Text that lives as long as the process: what an error may keep by pointer until
// it is raised, long after the call that made it has returned.
#pragma once

namespace marundex::runtime {

// Made only in a constant expression, so only from a string literal or a constant
// array: the compiler refuses the characters of a temporary std::string, whose
// pointer would dangle by the time the error is raised. Copies keep that promise.
class StaticText {
  public:
    // Implicit, so that a literal reads as one wherever a StaticText is taken.
    consteval StaticText(const char* text) noexcept
        : text_(text) {}  // NOLINT(google-explicit-constructor)

    [[nodiscard]] constexpr const char* c_str() const noexcept { return text_; }

  private:
    const char* text_;
};

}  // namespace marundex::runtime
