// corvanel-cli: help, version, exit statuses, decrypting its own output and the
// dump command end to end.
#include "cli/cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/shared_state.h"
#include "crypt/cipher_table.h"
#include "platform/text_encoding.h"
#include "tests/support/test_volume_image.h"
#include "volume/raw_volume.h"

namespace corvanel::cli {
namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome RunCommand(std::vector<std::string> args) {
  std::ostringstream out, err;
  Console console{out, err, false};
  int status = RunCli(args, console);
  return {status, out.str(), err.str()};
}

TEST(Cli, HelpVersionAndUsageErrors) {
  Outcome help = RunCommand({"--help"});
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_NE(help.out.find("Usage: corvanel-cli"), std::string::npos);
  EXPECT_NE(help.out.find("Exit status: 0 done"), std::string::npos);

  Outcome version = RunCommand({"--version"});
  EXPECT_EQ(version.status, kExitOk);
  EXPECT_EQ(version.out.rfind("corvanel-cli ", 0), 0u);

  EXPECT_EQ(RunCommand({}).status, kExitUsage);
  Outcome unknown = RunCommand({"frobnicate"});
  EXPECT_EQ(unknown.status, kExitUsage);
  EXPECT_NE(unknown.err.find("unknown command 'frobnicate'"), std::string::npos);
  EXPECT_EQ(RunCommand({"dump"}).status, kExitUsage);
  EXPECT_EQ(RunCommand({"dump", "a", "b"}).status, kExitUsage);
  EXPECT_EQ(RunCommand({"dump", "a", "--count", "0"}).status, kExitUsage);
  EXPECT_EQ(RunCommand({"dump", "a", "--count", "65536"}).status, kExitUsage);
  EXPECT_EQ(RunCommand({"dump", "a", "--sector", "36028797018963968"}).status, kExitUsage);
  EXPECT_EQ(RunCommand({"dump", "a", "--sector"}).status, kExitUsage);
  EXPECT_EQ(RunCommand({"shred"}).status, kExitUsage);
  EXPECT_EQ(RunCommand({"shred", "a", "b"}).status, kExitUsage);
  EXPECT_EQ(RunCommand({"shred", "a", "--force"}).status, kExitUsage);
  EXPECT_EQ(RunCommand({"locate", "a"}).status, kExitUsage);
  // --index takes several values, as its help says; --all or --index, not both, not neither.
  EXPECT_EQ(RunCommand({"recover", "missing.img", "--to", "out", "--index", "0", "1", "2"}).status, kExitFailed);
  EXPECT_EQ(RunCommand({"recover", "missing.img", "--to", "out"}).status, kExitUsage);
  EXPECT_EQ(RunCommand({"recover", "missing.img", "--to", "out", "--all", "--index", "1"}).status, kExitUsage);
}

TEST(Cli, ShredRefusesWhatItCannotShred) {
  ResetSharedState();
  // A file that is not there: nothing asked, nothing done.
  Outcome missing = RunCommand({"shred", "no-such-file.corvanel"});
  EXPECT_EQ(missing.status, kExitFailed);
  EXPECT_NE(missing.err.find("no-such-file.corvanel"), std::string::npos);
  EXPECT_EQ(CurrentOperation, kOperationIdle);
#ifndef _WIN32
  // A directory, and a file on a file system with no device behind it.
  Outcome directory = RunCommand({"shred", "/proc"});
  EXPECT_EQ(directory.status, kExitFailed);
  Outcome virtualFile = RunCommand({"shred", "/proc/self/status"});
  EXPECT_EQ(virtualFile.status, kExitFailed);
  EXPECT_NE(virtualFile.err.find("not on an NTFS, FAT32 or exFAT volume (it is on proc)"), std::string::npos)
      << virtualFile.err;
#endif
}

// The cipher is known from the name's last four characters: a name without
// a dot decrypts too, and another cipher's suffix is still refused.
TEST(Cli, DecryptsItsOwnOutputWhateverTheName) {
  ResetSharedState();
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "corvanel-cli-own-output";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string source = (dir / "f4096").string(), plain(4096, 'p'), key = "0123456789abcdef";
  auto read = [](const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  };
  for (const CipherInfo& cipher : CipherTable()) {
    SCOPED_TRACE(cipher.name);
    std::ofstream(source, std::ios::binary) << plain;
    const std::string name(cipher.name), sealed = source + platform::Utf16ToUtf8(cipher.suffix);
    ASSERT_EQ(RunCommand({"encrypt", source, "--cipher", name, "--key", key}).status, kExitOk);
    fs::remove(source);
    const char* other = cipher.id == algorithm::kDes ? "aes" : "des";
    Outcome mismatch = RunCommand({"decrypt", sealed, "--cipher", other, "--key", key});
    EXPECT_EQ(mismatch.status, kExitFailed);
    EXPECT_NE(mismatch.err.find("Decryption algorithm does not match"), std::string::npos) << mismatch.err;
    Outcome decrypt = RunCommand({"decrypt", sealed, "--cipher", name, "--key", key});
    EXPECT_EQ(decrypt.status, kExitOk) << decrypt.err;
    EXPECT_EQ(read(source), plain);
    fs::remove(sealed);
  }
  fs::remove_all(dir);
}

class CliVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!image.available()) GTEST_SKIP() << "no image behind a drive letter (run through tools/wine-run)";
    ResetSharedState();
    image.Resize(8 * kSectorSize);
    std::vector<std::uint8_t> sector(kSectorSize);
    for (std::size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<std::uint8_t>(i);
    image.Write(2 * kSectorSize, sector);
  }

  testing::TestVolumeImage image;
};

TEST_F(CliVolumeTest, DumpPrintsTheSectorsAtTheirByteOffsets) {
  Outcome dump = RunCommand({"dump", image.VolumeArgument(), "--sector", "2"});
  ASSERT_EQ(dump.status, kExitOk) << dump.err;
  EXPECT_EQ(dump.out.substr(0, dump.out.find('\n')),
            "000000000400  00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f  |................|");
  EXPECT_NE(dump.out.find("000000000440  40 41 42 43"), std::string::npos);
  EXPECT_NE(dump.out.find("|@ABCDEFGHIJKLMNO|"), std::string::npos);
  EXPECT_EQ(std::count(dump.out.begin(), dump.out.end(), '\n'), 32);
}

TEST_F(CliVolumeTest, FailuresPrintTheCatalogueTextAndExit1) {
  Outcome pastEnd = RunCommand({"dump", image.VolumeArgument(), "--sector", "8"});
  EXPECT_EQ(pastEnd.status, kExitFailed);
  EXPECT_EQ(pastEnd.err, "corvanel-cli: Sorry, we could not get the information on the disk!\n");
  EXPECT_TRUE(pastEnd.out.empty());

  Outcome noVolume = RunCommand({"dump", std::string(1, testing::kUnmappedDriveLetter) + ":"});
  EXPECT_EQ(noVolume.status, kExitFailed);
  EXPECT_EQ(noVolume.err.rfind("corvanel-cli: System Error:", 0), 0u) << noVolume.err;
}

}  // namespace
}  // namespace corvanel::cli
