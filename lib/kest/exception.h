// Exceptions thrown by the support library.
//
//   std::exception
//     KESTException        every failure of this library; what() is readable
//       Base_Exception
//         IOException      a session to the agent could not be opened or used
//       IPCException       the agent's answer could not be understood
#pragma once

#include <exception>
#include <string>

#include "kest/api.h"

namespace kest {

class KEST_API KESTException : public std::exception {
 public:
  explicit KESTException(std::string message);
  ~KESTException() override;
  // Never null; the text given at construction.
  const char *what() const noexcept override;

 private:
  std::string message_;
};

class KEST_API Base_Exception : public KESTException {
 public:
  using KESTException::KESTException;
  ~Base_Exception() override;
};

class KEST_API IOException : public Base_Exception {
 public:
  using Base_Exception::Base_Exception;
  ~IOException() override;
};

class KEST_API IPCException : public KESTException {
 public:
  using KESTException::KESTException;
  ~IPCException() override;
};

}  // namespace kest
