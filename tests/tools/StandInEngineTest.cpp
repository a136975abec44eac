// The stand-in engine's operations, run as the driver runs them: a child
// process over a temporary storage folder.
#include <fcntl.h>
#include <sys/stat.h>

#include <random>
#include <thread>

#include "EngineHarness.h"

namespace ulmora::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class StandInEngineTest : public EngineHarness {};

TEST_F(StandInEngineTest, UploadThenFullListingShowsFilesFoldersAndModes) {
  writeLocal("/a.txt", "alpha");
  writeLocal("/docs/b.txt", "beta!");
  writeLocal("/docs/tab\there.txt", "t");

  EngineResult first = upload({"/a.txt", "/docs/"});
  ASSERT_EQ(first.status, 0) << first.text();
  auto progress = first.withKeyword("PROGRESS");
  ASSERT_EQ(progress.size(), 3u);
  for (const auto& line : progress) {
    EXPECT_EQ(line.at(1), "[Full Backup]");
    EXPECT_EQ(line.at(2), "Done");
    EXPECT_EQ(line.at(5), "3");  // total files
  }
  // A TAB in a name travels escaped, so the line still has its fields.
  EXPECT_EQ(progress[2].at(10), "/docs/tab\\there.txt");
  EXPECT_THAT(first.withKeyword("SUMMARY")[0], ElementsAre("SUMMARY", "upload", "0", "3", "3", "0",
                                                          "0", "0", "11"));

  auto records = listed(0);
  ASSERT_EQ(records.size(), 4u) << listing(0).text();
  EXPECT_EQ(records["/a.txt"][kSize], "5");
  EXPECT_EQ(records["/a.txt"][kFileVer], "1");
  EXPECT_EQ(records["/a.txt"][kInTrash], "0");
  EXPECT_EQ(records["/docs/"][kFileVer], "0");
  EXPECT_EQ(records["/docs/b.txt"][kOldName], "");
  EXPECT_EQ(listing(0).lines.front(), (std::vector<std::string>{"COUNT", "4"}));

  // Unchanged files are in sync; a changed one is an incremental upload with
  // a new version under the same reference id.
  writeLocal("/a.txt", "alpha, longer");
  EngineResult second = upload({"/a.txt", "/docs/b.txt"});
  ASSERT_EQ(second.status, 0) << second.text();
  EXPECT_EQ(second.withKeyword("PROGRESS")[0].at(1), "[Incremental Backup]");
  EXPECT_EQ(second.withKeyword("PROGRESS")[1].at(1), "[Sync File]");
  auto after = listed(0);
  EXPECT_EQ(after["/a.txt"][kFileVer], "2");
  EXPECT_EQ(after["/a.txt"][kRefId], records["/a.txt"][kRefId]);
}

TEST_F(StandInEngineTest, ListingAfterAnIndexShowsOnlyLaterChanges) {
  writeLocal("/one.txt", "1");
  writeLocal("/two.txt", "2");
  ASSERT_EQ(upload({"/one.txt"}).status, 0);
  int64_t index = highestIndex();
  ASSERT_EQ(upload({"/two.txt"}).status, 0);

  EngineResult later = listing(index);
  auto records = later.withKeyword("LIST");
  ASSERT_EQ(records.size(), 1u) << later.text();
  EXPECT_EQ(records[0][kName], "/two.txt");
  EXPECT_GT(std::stoll(records[0][kIndex]), index);
  EXPECT_EQ(later.withKeyword("INDEX")[0].at(1), records[0][kIndex]);
  EXPECT_EQ(listing(highestIndex()).withKeyword("LIST").size(), 0u);
}

TEST_F(StandInEngineTest, RenameKeepsReferenceIdsAndReportsTheOldName) {
  writeLocal("/a.txt", "a");
  writeLocal("/docs/b.txt", "b");
  ASSERT_EQ(upload({"/a.txt", "/docs/"}).status, 0);
  auto before = listed(0);
  int64_t index = highestIndex();

  std::string set = writeSet({"/a.txt", "/moved/a2.txt", "/docs", "/papers"}, "");
  EngineResult renamed = run({"--rename", "--files-from=" + set, remote()});
  ASSERT_EQ(renamed.status, 0) << renamed.text();
  EXPECT_THAT(renamed.withKeyword("RENAMED"),
              Contains(ElementsAre("RENAMED", "/docs/b.txt", "/papers/b.txt")));

  auto after = listed(index);
  EXPECT_EQ(after["/moved/a2.txt"][kRefId], before["/a.txt"][kRefId]);
  EXPECT_EQ(after["/moved/a2.txt"][kOldName], "/a.txt");
  EXPECT_EQ(after["/papers/b.txt"][kRefId], before["/docs/b.txt"][kRefId]);
  EXPECT_EQ(after["/papers/b.txt"][kOldName], "/docs/b.txt");
  EXPECT_EQ(after["/papers/"][kOldName], "/docs/");
  EXPECT_EQ(after["/moved/"][kOldName], "");  // made for the move, not moved
}

TEST_F(StandInEngineTest, RenameRefusals) {
  writeLocal("/a.txt", "a");
  writeLocal("/b.txt", "b");
  writeLocal("/d/x.txt", "x");
  ASSERT_EQ(upload({"/a.txt", "/b.txt", "/d/"}).status, 0);
  struct Case {
    std::string from, to, reason;
  } cases[] = {
      {"/missing.txt", "/m2.txt", "Reason: No such file or directory"},
      {"/a.txt", "/b.txt", "Reason: File exists"},
      {"/d/", "/d/inner/", "Reason: Invalid argument"},
      {"/a.txt", "/../a.txt", "Reason: Invalid argument"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    EngineResult result =
        run({"--rename", "--files-from=" + writeSet({c.from, c.to}, ""), remote()});
    EXPECT_EQ(result.status, 23) << result.text();
    ASSERT_EQ(result.withKeyword("SFERROR").size(), 1u);
    EXPECT_THAT(result.withKeyword("SFERROR")[0].at(2), HasSubstr(c.reason));
  }
  EXPECT_EQ(listed(0).count("/b.txt"), 1u);
}

TEST_F(StandInEngineTest, DeleteMovesToTrashAndANewUploadIsANewEntry) {
  writeLocal("/docs/b.txt", "bb");
  writeLocal("/keep.txt", "k");
  ASSERT_EQ(upload({"/docs/", "/keep.txt"}).status, 0);
  auto before = listed(0);
  int64_t index = highestIndex();

  EngineResult removed = run({"--remove", "--files-from=" + writeSet({"/docs/"}, ""), remote()});
  ASSERT_EQ(removed.status, 0) << removed.text();
  EXPECT_EQ(removed.withKeyword("DELETED").size(), 2u);

  auto after = listed(index);
  EXPECT_EQ(after["/docs/b.txt"][kInTrash], "1");
  EXPECT_EQ(after["/docs/"][kInTrash], "1");
  EXPECT_EQ(after.count("/keep.txt"), 0u);

  EngineResult live = run({"--search", remote()});
  EXPECT_EQ(live.withKeyword("FOUND").size(), 1u) << live.text();
  EngineResult withTrash = run({"--search", "--include-trash", remote()});
  EXPECT_THAT(withTrash.withKeyword("FOUND"),
              Contains(ElementsAre("FOUND", "2", ::testing::_, "1", "0", "1",
                                   before["/docs/b.txt"][kRefId], "file", "/docs/b.txt")));

  ASSERT_EQ(upload({"/docs/b.txt"}).status, 0);
  auto again = listed(highestIndex() - 1);
  EXPECT_NE(again["/docs/b.txt"][kRefId], before["/docs/b.txt"][kRefId]);
  EXPECT_EQ(again["/docs/b.txt"][kInTrash], "0");

  EngineResult missing = run({"--remove", "--files-from=" + writeSet({"/nope"}, ""), remote()});
  EXPECT_EQ(missing.status, 23);
  EXPECT_THAT(missing.withKeyword("SFERROR")[0].at(2), HasSubstr("Reason: No such file or directory"));
}

// An upload, rename or delete given --seen-versions replaces, moves or
// trashes a server file only while the server still holds the version named
// there.
TEST_F(StandInEngineTest, SeenVersionsKeepAnotherComputersNewerVersion) {
  auto stamp = [](const std::string& path, time_t seconds, long ns) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, ns}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  };
  enum class Op { kUpload, kDelete, kRename };
  const struct {
    const char* name;
    Op op;
    bool onServer;
    long serverNs;       // the server copy's sub-second part
    const char* seen;    // "<size>\t<seconds>\t<ref>" with "REF" for the server's id; "" none
    bool localSame;      // the local file is the server's copy (upload only)
    bool refused;
  } cases[] = {
      {"upload over the version seen", Op::kUpload, true, 0, "6\t1700000000\tREF", false, false},
      {"upload, seen without an id", Op::kUpload, true, 0, "6\t1700000000\t", false, false},
      {"upload, times agree to the second", Op::kUpload, true, 900000000, "6\t1700000000\tREF", false, false},
      {"upload over another size", Op::kUpload, true, 0, "5\t1700000000\tREF", false, true},
      {"upload over another time", Op::kUpload, true, 0, "6\t1699999999\tREF", false, true},
      {"upload over another entry", Op::kUpload, true, 0, "6\t1700000000\t999999", false, true},
      {"upload of a file not named is not checked", Op::kUpload, true, 0, "", false, false},
      {"upload where the server has nothing", Op::kUpload, false, 0, "6\t1700000000\t", false, false},
      {"in sync whatever was seen", Op::kUpload, true, 0, "1\t1\t", true, false},
      {"delete of the version seen", Op::kDelete, true, 0, "6\t1700000000\tREF", false, false},
      {"delete of another version", Op::kDelete, true, 0, "6\t1699999000\tREF", false, true},
      {"delete of another entry", Op::kDelete, true, 0, "6\t1700000000\t999999", false, true},
      {"rename of the version seen", Op::kRename, true, 0, "6\t1700000000\tREF", false, false},
      {"rename of another version", Op::kRename, true, 0, "5\t1700000000\tREF", false, true},
      {"rename of a file not named is not checked", Op::kRename, true, 0, "", false, false},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const std::string path = "/case" + std::to_string(i) + ".txt";
    std::string ref;
    if (c.onServer) {
      stamp(writeLocal(path, "server"), 1700000000, c.serverNs);
      ASSERT_EQ(upload({path}).status, 0) << c.name;
      ref = listed(0)[path][kRefId];
    }
    if (!c.localSame) stamp(writeLocal(path, "local edit"), 1700000500, 0);
    std::string seen = c.seen;
    if (auto at = seen.find("REF"); at != std::string::npos) seen.replace(at, 3, ref);
    std::string seenFile = tmp_.writeFile("work/seen" + std::to_string(i), seen.empty() ? "" : seen + "\t" + path + "\n");
    int64_t before = highestIndex();
    EngineResult result =
        c.op == Op::kUpload   ? run({"--work-dir=" + work(), "--seen-versions=" + seenFile,
                                     "--files-from=" + writeSet({path}, local()), local(), remote()})
        : c.op == Op::kDelete ? run({"--remove", "--seen-versions=" + seenFile,
                                     "--files-from=" + writeSet({path}, ""), remote()})
                              : run({"--rename", "--seen-versions=" + seenFile,
                                     "--files-from=" + writeSet({path, path + ".moved"}, ""), remote()});
    auto refusals = result.withKeyword("SFERROR");
    if (c.refused) {
      EXPECT_EQ(result.status, 23) << c.name << "\n" << result.text();
      ASSERT_EQ(refusals.size(), 1u) << c.name;
      EXPECT_EQ(refusals[0].at(1), path) << c.name;
      EXPECT_EQ(refusals[0].at(2), "SFERROR: version check failed. Reason: Stale file handle") << c.name;
      // The server's version stands, unchanged and live.
      EXPECT_EQ(highestIndex(), before) << c.name;
      EXPECT_EQ(listed(0)[path][kSize], "6") << c.name;
      EXPECT_EQ(listed(0)[path][kInTrash], "0") << c.name;
      EXPECT_EQ(listed(0).count(path + ".moved"), 0u) << c.name;
    } else {
      EXPECT_EQ(result.status, 0) << c.name << "\n" << result.text();
      EXPECT_TRUE(refusals.empty()) << c.name;
    }
  }

  // A version file that cannot be read fails the run before anything moves.
  writeLocal("/x.txt", "x");
  EngineResult unreadable = run({"--work-dir=" + work(), "--seen-versions=" + work() + "/missing",
                                 "--files-from=" + writeSet({"/x.txt"}, local()), local(), remote()});
  EXPECT_EQ(unreadable.status, 1) << unreadable.text();
  EXPECT_EQ(listed(0).count("/x.txt"), 0u);
}

TEST_F(StandInEngineTest, CreateFolderMakesMissingParentsOnce) {
  EngineResult created = run({"--mkdir", remote("/x/y/")});
  ASSERT_EQ(created.status, 0) << created.text();
  EXPECT_THAT(created.withKeyword("CREATED"),
              ElementsAre(ElementsAre("CREATED", "/x/"), ElementsAre("CREATED", "/x/y/")));
  EXPECT_EQ(run({"--mkdir", remote("/x/y/")}).withKeyword("CREATED").size(), 0u);

  writeLocal("/file", "f");
  ASSERT_EQ(upload({"/file"}).status, 0);
  EngineResult clash = run({"--mkdir", remote("/file/")});
  EXPECT_EQ(clash.status, 23);
  EXPECT_THAT(clash.withKeyword("SFERROR")[0].at(2), HasSubstr("Reason: File exists"));
}

TEST_F(StandInEngineTest, DownloadRestoresBytesAndTimesExactly) {
  std::string bytes;
  std::mt19937 random(7);
  for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i) bytes += char(random() & 0xFF);
  std::string path = writeLocal("/bin/data.bin", bytes);
  struct timespec times[2] = {{0, UTIME_OMIT}, {1500000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  writeLocal("/bin/empty", "");
  ASSERT_EQ(upload({"/bin/"}).status, 0);

  std::string into = tmp_.sub("other");
  mkdir(into.c_str(), 0700);
  EngineResult got = download({"/bin/"}, into);
  ASSERT_EQ(got.status, 0) << got.text() << got.err;
  EXPECT_EQ(readWholeFile(into + "/bin/data.bin"), bytes);
  EXPECT_EQ(readWholeFile(into + "/bin/empty"), "");
  struct stat st {};
  ASSERT_EQ(stat((into + "/bin/data.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
  EXPECT_EQ(got.withKeyword("RECV").size(), 2u);
  EXPECT_EQ(got.withKeyword("PROGRESS")[0].at(1), "[Full Restore]");

  EngineResult again = download({"/bin/data.bin"}, into);
  EXPECT_EQ(again.withKeyword("PROGRESS")[0].at(1), "[Sync File]");
  EXPECT_EQ(again.withKeyword("RECV").size(), 0u);

  tmp_.writeFile("other/bin/data.bin", "local edit");
  EngineResult replaced = download({"/bin/data.bin"}, into);
  EXPECT_EQ(replaced.withKeyword("PROGRESS")[0].at(1), "[Incremental Restore]");
  EXPECT_EQ(readWholeFile(into + "/bin/data.bin"), bytes);

  EngineResult missing = download({"/bin/data.bin", "/nothing.txt"}, into);
  EXPECT_EQ(missing.status, 23);
  EXPECT_THAT(missing.withKeyword("SFERROR"),
              ElementsAre(ElementsAre("SFERROR", "/nothing.txt",
                                      "SFERROR: download failed. Reason: No such file or directory")));
}

TEST_F(StandInEngineTest, SearchMatchesNamesAndReportsThumbnailsAndTypes) {
  writeLocal("/p/Holiday.JPG", "img");
  writeLocal("/p/Holiday.JPG_THSML", "thumb");
  writeLocal("/p/notes.txt", "n");
  writeLocal("/p/sub/holiday-2.png", "img2");
  writeLocal("/q/holiday.txt", "elsewhere");
  ASSERT_EQ(upload({"/p/", "/q/"}).status, 0);

  EngineResult found = run({"--search", "--search-key=holiday", remote("/p/")});
  ASSERT_EQ(found.status, 0) << found.text();
  std::map<std::string, std::vector<std::string>> byName;
  for (const auto& line : found.withKeyword("FOUND")) byName[line.at(8)] = line;
  EXPECT_EQ(byName.size(), 3u);  // the thumbnail's own name matches as well
  ASSERT_EQ(byName.count("/p/Holiday.JPG"), 1u) << found.text();
  EXPECT_EQ(byName["/p/Holiday.JPG"][4], "1");
  EXPECT_EQ(byName["/p/sub/holiday-2.png"][4], "0");
  EXPECT_EQ(byName["/p/Holiday.JPG"][7], "file");

  EngineResult all = run({"--search", remote("/p/")});
  EXPECT_THAT(all.withKeyword("FOUND"), Contains(ElementsAre("FOUND", "0", ::testing::_, "0", "0",
                                                             "0", ::testing::_, "folder", "/p/sub/")));
  EXPECT_EQ(all.withKeyword("FOUND").size(), 5u);

  EngineResult nowhere = run({"--search", remote("/absent/")});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_THAT(nowhere.err, HasSubstr("umkvt error:"));
}

TEST_F(StandInEngineTest, QuotaCountsLiveAndTrashedBytes) {
  writeLocal("/a", std::string(1000, 'a'));
  writeLocal("/b", std::string(234, 'b'));
  ASSERT_EQ(upload({"/a", "/b"}).status, 0);
  ASSERT_EQ(run({"--remove", "--files-from=" + writeSet({"/b"}, ""), remote()}).status, 0);
  writeFaults("quota-total 5000\n");

  EngineResult quota = run({"--encode", "--get-quota", "--timeout=30", "--port=443", "--xml-output",
                            "--proxy=", remote()});
  ASSERT_EQ(quota.status, 0) << quota.text();
  std::vector<std::string> xml;
  for (const auto& line : quota.lines)
    if (line[0].front() == '<') xml.push_back(line[0]);
  EXPECT_THAT(xml, ElementsAre("<quota>", "<usedquota>1234</usedquota>",
                               "<totalquota>5000</totalquota>", "<filecount>1</filecount>",
                               "</quota>"));
  EngineResult stored = run({"--quota-fromfile", remote()});
  EXPECT_EQ(stored.lines.at(1).at(0), "<usedquota>1234</usedquota>");
}

TEST_F(StandInEngineTest, EncodedCredentialsAuthenticateAndBadOnesAreRefused) {
  tmp_.writeFile("store/passwd", "alice:s3cret:key-1\n");
  std::string encoded = run({"--encode-string"}, nullptr, {{"RSYNC_PASSWORD", "s3cret"}})
                            .withKeyword("ENCODED")
                            .at(0)
                            .at(1);
  std::string encodedKey =
      run({"--encode-string"}, nullptr, {{"RSYNC_PASSWORD", "key-1"}}).withKeyword("ENCODED")[0][1];
  EXPECT_EQ(encoded.find("s3cret"), std::string::npos);

  auto secretFile = [&](const std::string& name, const std::string& text, mode_t mode) {
    std::string path = tmp_.writeFile("work/" + name, text);
    chmod(path.c_str(), mode);
    return path;
  };
  std::string goodPassword = secretFile("pw", encoded, 0600);
  std::string goodKey = secretFile("key", encodedKey, 0600);
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
    int status;
    std::string text;
  } cases[] = {
      {"encoded files", {"--password-file=" + goodPassword, "--pvt-key=" + goodKey}, {}, 0, ""},
      {"plain env", {"--pvt-key=" + goodKey}, {{"RSYNC_PASSWORD", "s3cret"}}, 0, ""},
      {"wrong password",
       {"--password-file=" + secretFile("bad", "wrong", 0600), "--pvt-key=" + goodKey},
       {},
       5,
       "@ERROR: password mismatch"},
      {"wrong key",
       {"--password-file=" + goodPassword, "--pvt-key=" + secretFile("badkey", "k", 0600)},
       {},
       5,
       "@ERROR: encryption verification failed"},
      {"readable by others",
       {"--password-file=" + secretFile("open", encoded, 0644)},
       {},
       5,
       "@ERROR: password file must not be other-accessible"},
      {"no password", {}, {}, 5, "@ERROR: auth failed on module quellar"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.push_back("--get-quota");
    args.push_back(remote());
    EngineResult result = run(args, nullptr, c.env);
    EXPECT_EQ(result.status, c.status) << result.text();
    if (!c.text.empty()) {
      EXPECT_EQ(result.err, c.text + "\n");
    }
  }
  EngineResult stranger = run({"--get-quota", remote("/", "mallory")}, nullptr,
                              {{"RSYNC_PASSWORD", "s3cret"}});
  EXPECT_EQ(stranger.err, "@ERROR: auth failed on module quellar\n");
}

TEST_F(StandInEngineTest, VersionsAreListedAndAnOldOneRestored) {
  writeLocal("/v.txt", "first");
  ASSERT_EQ(upload({"/v.txt"}).status, 0);
  writeLocal("/v.txt", "second, longer");
  ASSERT_EQ(upload({"/v.txt"}).status, 0);

  EngineResult versions = run({"--list-versions", remote("/v.txt")});
  auto rows = versions.withKeyword("VERSION");
  ASSERT_EQ(rows.size(), 2u) << versions.text();
  EXPECT_EQ(rows[0].at(1), "2");
  EXPECT_EQ(rows[0].at(5), "1");
  EXPECT_EQ(rows[1].at(2), "5");

  std::string into = tmp_.sub("restored");
  mkdir(into.c_str(), 0700);
  EngineResult restored = run({"--restore-version=1", remote("/v.txt"), into});
  ASSERT_EQ(restored.status, 0) << restored.text();
  EXPECT_EQ(readWholeFile(into + "/v.txt"), "first");
  EXPECT_EQ(listed(0)["/v.txt"][kFileVer], "3");
  EXPECT_EQ(run({"--restore-version=9", remote("/v.txt")}).status, 23);
}

TEST_F(StandInEngineTest, TwoEnginesUploadIntoOneAccountAtOnce) {
  std::vector<std::string> left, right;
  for (int i = 0; i < 60; ++i) {
    writeLocal("/l/f" + std::to_string(i), "left " + std::to_string(i));
    writeLocal("/r/f" + std::to_string(i), "right " + std::to_string(i));
    left.push_back("/l/f" + std::to_string(i));
    right.push_back("/r/f" + std::to_string(i));
  }
  std::string leftSet = writeSet(left, local());
  std::string rightSet = writeSet(right, local());
  EngineResult a, b;
  std::thread other([&] { b = run({"--files-from=" + rightSet, local(), remote()}); });
  a = run({"--files-from=" + leftSet, local(), remote()});
  other.join();
  ASSERT_EQ(a.status, 0) << a.text();
  ASSERT_EQ(b.status, 0) << b.text();

  auto records = listed(0);
  EXPECT_EQ(records.size(), 122u);
  std::set<std::string> refs, indexes;
  for (auto& [name, record] : records) {
    refs.insert(record[kRefId]);
    indexes.insert(record[kIndex]);
  }
  EXPECT_EQ(refs.size(), 122u);
  EXPECT_EQ(indexes.size(), 122u);
}

}  // namespace
}  // namespace ulmora::testing
