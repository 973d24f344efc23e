// Clears a flag for its own lifetime and gives the flag its old value back:
// the failure injectors' Pause, for test-side work inside an armed scenario.
#pragma once

namespace vxtest {

class FlagOff {
 public:
  explicit FlagOff(bool &flag) : flag_(flag), was_(flag) { flag = false; }
  ~FlagOff() { flag_ = was_; }
  FlagOff(const FlagOff &) = delete;
  FlagOff &operator=(const FlagOff &) = delete;

 private:
  bool &flag_;
  bool was_;
};

}  // namespace vxtest
