#include "support/sha256.hpp"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "support/input_file.hpp"

namespace calib {

struct Sha256::State {
  State() : context(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context, EVP_sha256(), nullptr); }
  ~State() { EVP_MD_CTX_free(context); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  EVP_MD_CTX* context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(const void* data, std::size_t n) { EVP_DigestUpdate(state_->context, data, n); }

std::string Sha256::hexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->context, digest, &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

Result<std::string, std::error_code> sha256OfRest(int fd, Sha256& hash) {
  std::vector<char> buffer(std::size_t{1} << 18);
  for (;;) {
    const ssize_t k = ::read(fd, buffer.data(), buffer.size());
    if (k < 0) {
      if (errno == EINTR) continue;
      return std::error_code(errno, std::generic_category());
    }
    if (k == 0) return hash.hexDigest();
    hash.update(buffer.data(), static_cast<std::size_t>(k));
  }
}

Result<std::optional<std::string>, std::error_code> sha256OfStart(const std::string& path, std::uint64_t bytes) {
  const Result<InputFile, std::error_code> file = InputFile::open(path);
  if (!file) return file.error();
  Sha256 hash;
  std::vector<char> buffer(std::size_t{1} << 18);
  for (std::uint64_t left = bytes; left > 0;) {
    const ssize_t k = ::read(file->fd(), buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size())));
    if (k < 0) {
      if (errno == EINTR) continue;
      return std::error_code(errno, std::generic_category());
    }
    if (k == 0) return std::optional<std::string>();
    hash.update(buffer.data(), static_cast<std::size_t>(k));
    left -= static_cast<std::uint64_t>(k);
  }
  return std::optional<std::string>(hash.hexDigest());
}

Result<std::string, std::error_code> sha256OfFile(const std::string& path) {
  const Result<InputFile, std::error_code> file = InputFile::open(path);
  if (!file) return file.error();
  Sha256 hash;
  return sha256OfRest(file->fd(), hash);
}

}  // namespace calib
