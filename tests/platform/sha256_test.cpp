#include "platform/sha256.h"

#include <cstdio>
#include <random>
#include <string>

#include "scratch_dir.h"

namespace {

class Sha256Test : public ScratchDirTest {
 protected:
  // The digest that the system's sha256sum gives for bytes.
  std::string sha256sumOf(std::string_view bytes) const {
    writeText("input", bytes);
    const std::string command = "sha256sum '" + path("input") + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    char line[64] = {};
    const size_t read = fread(line, 1, sizeof line, pipe);
    pclose(pipe);
    return std::string(line, read);
  }
};

std::string digestOf(std::string_view bytes) { return std::string(sha256HexView(sha256Digest(bytes))); }

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

TEST_F(Sha256Test, DigestsMatchSha256sumAcrossThePaddingPaths) {
  const std::string inputs[] = {
      "",
      "abc",
      "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
      std::string(1000000, 'a'),
      std::string(55, 'a'),
      std::string(56, 'a'),
      std::string(63, 'a'),
      std::string(64, 'a'),
      std::string(65, 'a'),
      std::string(119, 'a'),
      std::string(120, 'a'),
      std::string("\0\xff\x80", 3),
      randomBytes(4099, 1),
  };
  for (const std::string& input : inputs) EXPECT_EQ(digestOf(input), sha256sumOf(input)) << input.size();
}

TEST_F(Sha256Test, DigestIsTheStandardsExampleInLowercase) {
  EXPECT_EQ(digestOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digestOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_F(Sha256Test, PiecesOfEverySizeGiveTheOneShotDigest) {
  const std::string message = randomBytes(1000, 2);
  const std::string expected = digestOf(message);
  Sha256 hasher;
  for (size_t piece = 1; piece <= 200; ++piece) {
    for (size_t at = 0; at < message.size(); at += piece) hasher.update(std::string_view(message).substr(at, piece));
    ASSERT_EQ(std::string(sha256HexView(hasher.finishHex())), expected) << piece;
  }
  hasher.update(message.data(), 0);
  EXPECT_EQ(std::string(sha256HexView(hasher.finishHex())), digestOf("")) << "finish starts over";
}

}  // namespace
