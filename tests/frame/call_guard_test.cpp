#include "frame/call_guard.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "frame/cert_component.h"
#include "platform/bstr.h"

namespace kelvadrome {
namespace {

// What a worker does: return normally, or throw one of the kinds of exception a worker can.
enum class Outcome { kReturns, kOutOfMemory, kStdException, kOtherThrow };

void Act(Outcome outcome) {
  switch (outcome) {
    case Outcome::kReturns:
      return;
    case Outcome::kOutOfMemory:
      throw std::bad_alloc();
    case Outcome::kStdException:
      throw std::runtime_error("worker failed");
    case Outcome::kOtherThrow:
      throw 7;
  }
}

struct GuardCase {
  const char* what;
  Outcome outcome;
  int32_t recorded;  // the error code the component holds afterwards (it starts at 42)
};

constexpr GuardCase kCases[] = {
    {"worker returns", Outcome::kReturns, 42},
    {"allocation fails", Outcome::kOutOfMemory, 5003},
    {"standard exception", Outcome::kStdException, 5001},
    {"anything else thrown", Outcome::kOtherThrow, 5001},
};

TEST(GuardedCall, TextResultIsCopiedOrEmptyAndThrowsBecomeTheErrorCode) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    CertComponent component;
    component.RecordFailure(42);
    Bstr result = GuardedCall<Bstr>(component, [&](CertComponent&) {
      Act(c.outcome);
      return std::u16string(u"made");
    });
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(std::u16string(result, BstrLength(result)),
              c.outcome == Outcome::kReturns ? u"made" : u"");
    FreeBstr(result);
    EXPECT_EQ(component.error_state().errorCode, c.recorded);
  }
}

TEST(GuardedCall, NumberResultIsTheWorkersOrTheRecordedErrorCode) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    CertComponent component;
    component.RecordFailure(42);
    const int32_t result = GuardedCall<int32_t>(component, [&](CertComponent&) {
      Act(c.outcome);
      return int32_t{-9};
    });
    EXPECT_EQ(result, c.outcome == Outcome::kReturns ? -9 : c.recorded);
    EXPECT_EQ(component.error_state().errorCode, c.recorded);
  }
}

}  // namespace
}  // namespace kelvadrome
