// SHA-256 of a stream of bytes (OpenSSL's implementation, which uses the
// CPU's SHA instructions): what identifies an input file's content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "support/result.hpp"

namespace calib {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;

  void update(const void* data, std::size_t n);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  // The digest of everything given, as 64 lower-case hex digits. Ends the
  // hash: nothing may be added afterwards.
  std::string hexDigest();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The SHA-256 of what is left to read from fd (read to its end).
Result<std::string, std::error_code> sha256OfRest(int fd, Sha256& hash);

// The SHA-256 of the file at path.
Result<std::string, std::error_code> sha256OfFile(const std::string& path);

// The SHA-256 of the first bytes of the file at path; none when it is
// shorter.
Result<std::optional<std::string>, std::error_code> sha256OfStart(const std::string& path, std::uint64_t bytes);

}  // namespace calib
