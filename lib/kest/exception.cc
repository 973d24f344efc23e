#include "kest/exception.h"

#include <utility>

namespace kest {

KESTException::KESTException(std::string message) : message_(std::move(message)) {}
KESTException::~KESTException() = default;
const char *KESTException::what() const noexcept { return message_.c_str(); }

// Out-of-line destructors anchor the type information in this library, so a
// catch in the program matches what the library throws.
Base_Exception::~Base_Exception() = default;
IOException::~IOException() = default;
IPCException::~IPCException() = default;

}  // namespace kest
