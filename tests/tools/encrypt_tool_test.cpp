// The encrypt tool: round trips through the built binary, the one line and status 1 of every bad
// input with the files left as they were, the binding of a file to its path, and the container
// functions themselves.
#include "tools/encrypt_tool.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "support/test_support.h"
#include "tools/tour_crypto.h"

namespace {

const char kPassword[] = "correct horse";

// A small tour: an XML that references a preview, a thumbnail and cube tiles through
// placeholders, with an unrelated file beside it.
struct SmallTour {
  qv_test::TempDir dir;
  std::map<std::string, std::string> files = {
      {"tour.xml",
       "<tour><scene name=\"a\" thumburl=\"a.tiles/thumb.jpg\"><preview url=\"a.tiles/preview.jpg\"/>"
       "<image><cube url=\"a.tiles/%s/l%l/%0v/l%l_%s_%0v_%0h.jpg\"/></image></scene></tour>\n"},
      {"a.tiles/thumb.jpg", std::string("\xff\xd8 thumb", 8)},
      {"a.tiles/preview.jpg", "preview bytes"},
      {"a.tiles/f/l1/01/l1_f_01_01.jpg", "tile f 1 1"},
      {"a.tiles/b/l1/01/l1_b_01_02.jpg", "tile b 1 2"},
      {"unrelated.jpg", "not part of the tour"},
  };
  SmallTour() {
    for (const auto& [name, data] : files) {
      EXPECT_TRUE(qv_test::write_file(dir.file(name), data) ||
                  (std::system(("mkdir -p \"$(dirname '" + dir.file(name) + "')\"").c_str()) == 0 &&
                   qv_test::write_file(dir.file(name), data)));
    }
    EXPECT_TRUE(qv_test::write_file(dir.file("pw"), std::string(kPassword) + "\n"));
    EXPECT_TRUE(qv_test::write_file(dir.file("wrong"), "wrong horse\n"));
  }
  std::string read(const std::string& name, const std::string& folder = "") const {
    return qv_test::read_file(dir.file(folder.empty() ? name : folder + "/" + name));
  }
};

bool sealed(const std::string& data) {
  return crypto_is_sealed(data.data(), data.size());
}

qv_test::CommandResult run(const std::vector<std::string>& args) {
  std::vector<std::string> words = {"encrypt"};
  words.insert(words.end(), args.begin(), args.end());
  return qv_test::run_qorveltools(words);
}

TEST(EncryptTool, RoundTripsATourWithItsImages) {
  const struct {
    const char* mode;    // "" or "-obfuscate"
    const char* folder;  // "" in place, else the -o folder
    const char* message;
  } rows[] = {
      {"", "", "encrypted 5 files with a password"},
      {"", "out", "encrypted 5 files with a password"},
      {"-obfuscate", "",
       "obfuscated 5 files - obfuscation is NOT confidentiality: anyone with the viewer can read "
       "them"},
  };
  for (const auto& row : rows) {
    SmallTour tour;
    std::vector<std::string> args = {"-images", "-passwordfile=" + tour.dir.file("pw")};
    if (*row.mode) args.push_back(row.mode);
    if (*row.folder) args.push_back("-o=" + tour.dir.file(row.folder));
    args.push_back(tour.dir.file("tour.xml"));
    qv_test::CommandResult result = run(args);
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, std::string(row.message) + "\n");
    for (const auto& [name, data] : tour.files) {
      const std::string now = tour.read(name, row.folder);
      if (name == "unrelated.jpg") {
        EXPECT_EQ(tour.read(name), data);
        continue;
      }
      EXPECT_TRUE(sealed(now)) << name;
      EXPECT_EQ(now.size(), data.size() + kCryptoHeaderSize + kCryptoTagSize) << name;
      if (*row.folder) {
        EXPECT_EQ(tour.read(name), data) << name;  // the sources stay plain
      }
    }
    // Obfuscated files open without any password; sealed ones with theirs.
    std::vector<std::string> back = {"-decrypt", "-images"};
    if (!*row.mode) back.push_back("-passwordfile=" + tour.dir.file("pw"));
    back.push_back(tour.dir.file(*row.folder ? std::string(row.folder) + "/tour.xml" : "tour.xml"));
    result = run(back);
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "decrypted 5 files\n");
    for (const auto& [name, data] : tour.files) {
      if (name != "unrelated.jpg") {
        EXPECT_EQ(tour.read(name, row.folder), data) << name;
      }
    }
    EXPECT_EQ(qv_test::list_files(tour.dir.path + "/a.tiles"),
              (std::vector<std::string>{"b", "f", "preview.jpg", "thumb.jpg"}));
  }
}

TEST(EncryptTool, BadInputGivesOneLineAndChangesNothing) {
  using Damage = std::function<void(SmallTour&)>;
  auto flip = [](size_t offset) {
    return [offset](SmallTour& tour) {
      std::string data = tour.read("tour.xml");
      data[offset < data.size() ? offset : data.size() - 1] ^= 1;
      qv_test::write_file(tour.dir.file("tour.xml"), data);
    };
  };
  const struct {
    const char* what;
    bool seal_first;  // seal tour.xml with the password before the damage
    Damage damage;
    std::vector<std::string> args;  // "PW", "WRONG", "XML" stand for the files
    const char* message;            // "%s" is the XML's path
  } rows[] = {
      {"wrong password", true, nullptr, {"-decrypt", "WRONG", "XML"}, kEncryptWrongPassword},
      {"altered ciphertext", true, flip(kCryptoHeaderSize + 3), {"-decrypt", "PW", "XML"},
       kEncryptDamaged},
      {"altered tag", true, flip(100000), {"-decrypt", "PW", "XML"}, kEncryptDamaged},
      {"altered salt", true, flip(12), {"-decrypt", "PW", "XML"}, kEncryptWrongPassword},
      {"unknown version", true, flip(4), {"-decrypt", "PW", "XML"}, kEncryptUnknownVersion},
      {"truncated", true,
       [](SmallTour& tour) { qv_test::write_file(tour.dir.file("tour.xml"), tour.read("tour.xml").substr(0, 60)); },
       {"-decrypt", "PW", "XML"}, kEncryptTruncated},
      {"cut short", true,
       [](SmallTour& tour) {
         const std::string data = tour.read("tour.xml");
         qv_test::write_file(tour.dir.file("tour.xml"), data.substr(0, data.size() - 1));
       },
       {"-decrypt", "PW", "XML"}, kEncryptDamaged},
      {"already encrypted", true, nullptr, {"PW", "XML"}, kEncryptAlreadySealed},
      {"not encrypted", false, nullptr, {"-decrypt", "PW", "XML"}, kEncryptNotSealed},
      {"missing file", false, [](SmallTour& tour) { std::remove(tour.dir.file("tour.xml").c_str()); },
       {"PW", "XML"}, kEncryptCannotRead},
      {"no password source", false, nullptr, {"XML"}, kEncryptNoPassword},
      {"empty password", false,
       [](SmallTour& tour) { qv_test::write_file(tour.dir.file("pw"), "\n"); }, {"PW", "XML"},
       kEncryptEmptyPassword},
  };
  for (const auto& row : rows) {
    SmallTour tour;
    if (row.seal_first) {
      ASSERT_EQ(run({"-passwordfile=" + tour.dir.file("pw"), tour.dir.file("tour.xml")}).status, 0);
    }
    if (row.damage) row.damage(tour);
    const std::string before = tour.read("tour.xml");
    const std::vector<std::string> listed = qv_test::list_files(tour.dir.path);
    std::vector<std::string> args;
    for (const std::string& word : row.args) {
      args.push_back(word == "PW"      ? "-passwordfile=" + tour.dir.file("pw")
                     : word == "WRONG" ? "-passwordfile=" + tour.dir.file("wrong")
                     : word == "XML"   ? tour.dir.file("tour.xml")
                                       : word);
    }
    const qv_test::CommandResult result = run(args);
    std::string message = row.message;
    if (message.find("%s") != std::string::npos)
      message.replace(message.find("%s"), 2, tour.dir.file("tour.xml"));
    EXPECT_EQ(result.status, 1) << row.what;
    EXPECT_EQ(result.out, message + "\n") << row.what;
    EXPECT_EQ(tour.read("tour.xml"), before) << row.what;
    EXPECT_EQ(qv_test::list_files(tour.dir.path), listed) << row.what;  // no partial file left
  }
}

// Two sealed tiles swapped on disk: each is bound to its own path, so neither opens in the other's
// place.
TEST(EncryptTool, SwappedFilesDoNotOpen) {
  SmallTour tour;
  ASSERT_EQ(run({"-images", "-passwordfile=" + tour.dir.file("pw"), tour.dir.file("tour.xml")}).status, 0);
  const std::string a = tour.read("a.tiles/f/l1/01/l1_f_01_01.jpg");
  const std::string b = tour.read("a.tiles/b/l1/01/l1_b_01_02.jpg");
  qv_test::write_file(tour.dir.file("a.tiles/f/l1/01/l1_f_01_01.jpg"), b);
  qv_test::write_file(tour.dir.file("a.tiles/b/l1/01/l1_b_01_02.jpg"), a);
  const qv_test::CommandResult result =
      run({"-decrypt", "-images", "-passwordfile=" + tour.dir.file("pw"), tour.dir.file("tour.xml")});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "ERROR: file is damaged or was altered: " +
                            tour.dir.file("a.tiles/b/l1/01/l1_b_01_02.jpg") + "\n");
}

TEST(EncryptTool, ReportsIntoTheResultText) {
  char program[] = "qorveltools";
  char file[] = "/nonexistent/tour.xml";
  char option[] = "-frobnicate";
  char* argv[] = {program, file, nullptr};
  std::string result;
  EXPECT_EQ(encrypt_run(2, argv, &result), 1);
  EXPECT_EQ(result, "ERROR: cannot read file: /nonexistent/tour.xml");
  char* bad[] = {program, option, nullptr};
  EXPECT_EQ(encrypt_run(2, bad, &result), 1);
  EXPECT_EQ(result, "ERROR: bad argument: -frobnicate");
}

TEST(TourCrypto, NormalisesPathsWithinTheTour) {
  const std::pair<const char*, const char*> rows[] = {
      {"tour.xml", "tour.xml"},         {"./a/b.jpg", "a/b.jpg"},
      {"a\\b\\c.jpg", "a/b/c.jpg"},     {"a//./b.jpg", "a/b.jpg"},
      {"a/x/../b.jpg", "a/b.jpg"},      {"../shared/t.jpg", "../shared/t.jpg"},
  };
  for (const auto& [path, expected] : rows) EXPECT_EQ(tour_path_normalise(path), expected) << path;
}

TEST(TourCrypto, OpensOnlyWithTheKeyAndPathItWasSealedFor) {
  TourKey key;
  TourKey other;
  ASSERT_TRUE(tour_key_create("pw", CryptoMode::Password, 1000, &key));
  ASSERT_TRUE(tour_key_derive("pw2", CryptoMode::Password, 1000, key.salt, &other));
  CryptoContextPtr context(crypto_context_create());
  std::string sealed_text;
  std::string plain;
  ASSERT_TRUE(tour_seal(context.get(), key, "./a/b.jpg", "hello", 5, &sealed_text));
  EXPECT_EQ(tour_open(context.get(), key, "a/b.jpg", sealed_text.data(), sealed_text.size(), &plain),
            CryptoStatus::Ok);
  EXPECT_EQ(plain, "hello");
  EXPECT_EQ(tour_open(context.get(), key, "a/c.jpg", sealed_text.data(), sealed_text.size(), &plain),
            CryptoStatus::Damaged);
  EXPECT_EQ(tour_open(context.get(), other, "a/b.jpg", sealed_text.data(), sealed_text.size(), &plain),
            CryptoStatus::WrongKey);
  // Two seals of the same text differ (fresh nonce); an empty file seals to header and tag.
  std::string again;
  ASSERT_TRUE(tour_seal(context.get(), key, "a/b.jpg", "hello", 5, &again));
  EXPECT_NE(again, sealed_text);
  ASSERT_TRUE(tour_seal(context.get(), key, "e", "", 0, &again));
  EXPECT_EQ(again.size(), kCryptoHeaderSize + kCryptoTagSize);
  EXPECT_EQ(tour_open(context.get(), key, "e", again.data(), again.size(), &plain), CryptoStatus::Ok);
  EXPECT_EQ(plain, "");
}

}  // namespace
