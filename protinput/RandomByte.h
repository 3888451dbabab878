// The one source of unpredictable values of protected input: picture noise,
// verification-code characters, key noise, session keys and key layouts.
// Production draws from OpenSSL's RAND_bytes; tests put a source of their own
// in its place (a fixed byte sequence, or a source that fails).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // Fills out with n bytes; false when it cannot (out is then not used).
  virtual bool fill(unsigned char* out, size_t n) = 0;
};

// Puts source in place of RAND_bytes for every thread (null: RAND_bytes again)
// and returns the source that was in place (null for RAND_bytes).
RandomSource* SetRandomSource(RandomSource* source);

// One value 0..255, or -1 when the source fails. Every call is a fresh draw;
// the drawn byte is wiped before returning.
int RandomByte();

// One value 0..n-1 (n from 1 to 256), each equally likely: bytes above the
// last whole multiple of n are drawn again. -1 when the source fails.
int RandomBelow(int n);

// A fixed sequence of bytes, one per RandomByte value; fails once used up.
class SequenceRandomSource : public RandomSource {
 public:
  explicit SequenceRandomSource(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}
  bool fill(unsigned char* out, size_t n) override {
    if (n > bytes_.size() - used_) return false;
    for (size_t i = 0; i < n; ++i) out[i] = bytes_[used_++];
    return true;
  }
  size_t used() const { return used_; }

 private:
  std::vector<unsigned char> bytes_;
  size_t used_ = 0;
};

// A source that always fails.
class FailingRandomSource : public RandomSource {
 public:
  bool fill(unsigned char*, size_t) override { return false; }
};

// Puts a source in place for one scope.
class ScopedRandomSource {
 public:
  explicit ScopedRandomSource(RandomSource* source) : previous_(SetRandomSource(source)) {}
  ~ScopedRandomSource() { SetRandomSource(previous_); }
  ScopedRandomSource(const ScopedRandomSource&) = delete;
  ScopedRandomSource& operator=(const ScopedRandomSource&) = delete;

 private:
  RandomSource* previous_;
};
