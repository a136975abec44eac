#include "media/ThumbnailController.h"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <exception>
#include <set>
#include <utility>

#include "engine/EngineLineRecord.h"
#include "engine/EngineSetFiles.h"
#include "engine/QLSYNCParser.h"
#include "journal/SyncRootPath.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"
#include "service/PrivateWorkFolder.h"
#include "service/ServerPath.h"

namespace ulmora {
namespace {

// A hostile or broken image must not hold the job or eat the machine.
constexpr auto kConvertTimeout = std::chrono::minutes(3);
constexpr int kUploadPasses = 3;
// convert's scratch names inside the destination folder; never a user's name,
// so nothing in a file name can reach convert's own filename syntax.
constexpr const char* kScratchFolder = ".scratch";

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool isRegularFile(const std::string& path) {
  return fileutil::exists(path) && !fileutil::isSymlink(path) && !fileutil::isDirectory(path);
}

}  // namespace

std::optional<std::string> ThumbnailController::coderFor(std::string_view path) {
  std::string name = fileutil::lastComponent(path);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return std::nullopt;
  std::string ext = lower(std::string_view(name).substr(dot + 1));
  if (ext == "jpg" || ext == "jpeg") return "jpeg";
  if (ext == "png" || ext == "gif" || ext == "bmp" || ext == "webp") return ext;
  if (ext == "tif" || ext == "tiff") return "tiff";
  return std::nullopt;
}

ThumbnailController::ThumbnailController(std::string destinationFolder, UserDetails details)
    : destination_(std::move(destinationFolder)), details_(std::move(details)) {}

ThumbnailController::~ThumbnailController() {
  {
    MutexLock lock(mutex_);
    stopped_ = true;
    if (engine_) engine_->terminate();
    if (convert_ != nullptr) convert_->kill(SIGKILL);
  }
  if (worker_.joinable()) worker_.join();
  guard_.invalidate();
}

bool ThumbnailController::stopped() const {
  MutexLock lock(mutex_);
  return stopped_;
}

std::vector<std::string> ThumbnailController::uploadedThumbnails() const {
  MutexLock lock(mutex_);
  return uploaded_;
}

std::string ThumbnailController::thumbnailPath(const std::string& relative, std::string_view suffix) const {
  return fileutil::joinPath(destination_, relative) + std::string(suffix);
}

void ThumbnailController::startThumbnailGenerationAndUploadForFiles(const std::vector<std::string>& images,
                                                                    const std::string& serverBase) {
  {
    MutexLock lock(mutex_);
    if (started_) return;
    started_ = true;
    SyncRootPath root(details_.syncFolderPath);
    std::set<std::string> seen;
    for (const std::string& image : images) {
      std::string relative = root.isFullPath(image) ? root.relative(image) : std::string();
      if (relative.empty() || !serverpath::isSafeItemPath(relative) || !engineset::isListablePath(relative) ||
          !coderFor(image)) {
        traceLine("ThumbnailController: no thumbnails for " + serverpath::forTrace(image));
        continue;
      }
      if (!seen.insert(image).second) continue;
      items_.push_back(Item{image, relative});
    }
  }
  if (delegate_ != nullptr) delegate_->thumbNailOperationStarted(*this);

  std::string sources;
  {
    MutexLock lock(mutex_);
    for (const Item& item : items_) sources += item.source + "\n";
  }
  if (!fileutil::makeDirectories(destination_) ||
      !fileutil::setMode(destination_, fileutil::kOwnerOnlyFolder) ||
      !fileutil::writeFileAtomically(fileutil::joinPath(destination_, kSourceListName), sources)) {
    traceLine("ThumbnailController: cannot prepare " + serverpath::forTrace(destination_));
    MutexLock lock(mutex_);
    items_.clear();  // the worker then only reports the end
  }
  RunLoop::Handle loop = RunLoop::current().handle();
  worker_ = std::thread([this, loop, serverBase] {
    try {
      work(loop, serverBase);
    } catch (const std::exception& e) {
      traceLine(std::string("ThumbnailController: ") + e.what());
    }
    loop.post(guard_.wrap([this] {
      if (delegate_ != nullptr) delegate_->didThumbnailOperationFinished(*this);
    }));
  });
}

void ThumbnailController::work(RunLoop::Handle loop, std::string serverBase) {
  for (size_t i = 0;; ++i) {
    Item snapshot;
    {
      MutexLock lock(mutex_);
      if (stopped_ || i >= items_.size()) break;
      snapshot = items_[i];
    }
    bool made = generate(snapshot, i);
    MutexLock lock(mutex_);
    Item& current = items_[i];
    if (!made) {
      current.failed = true;
      continue;
    }
    // Renamed while convert ran: the thumbnails follow the new name.
    if (current.relative != snapshot.relative) moveThumbnails(snapshot.relative, current.relative);
    current.generated = true;
  }
  loop.post(guard_.wrap([this] {
    if (delegate_ != nullptr) delegate_->checkforRenameInfo(*this);
  }));
  for (int pass = 0; pass < kUploadPasses && !stopped(); ++pass) {
    if (!upload(serverBase)) break;
  }
  if (!keepDestination_) fileutil::removeAll(destination_);
}

bool ThumbnailController::generate(const Item& item, size_t number) {
  std::optional<std::string> coder = coderFor(item.source);
  if (!coder || !isRegularFile(item.source)) {
    traceLine("ThumbnailController: not a regular image file: " + serverpath::forTrace(item.source));
    return false;
  }
  const std::string scratch = fileutil::joinPath(destination_, kScratchFolder);
  if (!fileutil::makeDirectories(scratch)) return false;
  const std::string link = fileutil::joinPath(scratch, "source-" + std::to_string(number));
  const std::string out = fileutil::joinPath(scratch, "thumb-" + std::to_string(number) + ".jpg");
  ::unlink(link.c_str());
  if (::symlink(item.source.c_str(), link.c_str()) != 0) {
    traceLine("ThumbnailController: cannot link " + serverpath::forTrace(item.source));
    return false;
  }
  bool ok = true;
  for (const Size& size : kSizes) {
    ProcessOptions o;
    o.executable = convertPath_;
    o.arguments = {"-limit",
                   "memory",
                   "256MiB",
                   "-limit",
                   "map",
                   "512MiB",
                   "-limit",
                   "disk",
                   "1GiB",
                   *coder + ":" + link + "[0]",
                   "-auto-orient",
                   "-thumbnail",
                   std::to_string(size.width) + "x" + std::to_string(size.height) + ">",
                   "-strip",
                   "-quality",
                   "85",
                   "jpeg:" + out};
    o.timeout = kConvertTimeout;
    ChildProcess child(std::move(o));
    {
      MutexLock lock(mutex_);
      if (stopped_) {
        ok = false;
        break;
      }
      child.start();
      convert_ = &child;
    }
    ProcessResult result = child.wait();
    {
      MutexLock lock(mutex_);
      convert_ = nullptr;
    }
    const std::string target = thumbnailPath(item.relative, size.suffix);
    if (!result.succeeded() || !fileutil::makeDirectories(fileutil::parentPath(target)) ||
        std::rename(out.c_str(), target.c_str()) != 0) {
      traceLine("ThumbnailController: convert failed for " + serverpath::forTrace(item.source) + ": " +
                serverpath::forTrace(result.err.substr(0, 200)));
      ok = false;
      break;
    }
  }
  ::unlink(link.c_str());
  ::unlink(out.c_str());
  return ok;
}

void ThumbnailController::moveThumbnails(const std::string& fromRelative, const std::string& toRelative) {
  for (const Size& size : kSizes) {
    std::string from = thumbnailPath(fromRelative, size.suffix);
    std::string to = thumbnailPath(toRelative, size.suffix);
    if (!fileutil::exists(from)) continue;
    if (!fileutil::makeDirectories(fileutil::parentPath(to)) || std::rename(from.c_str(), to.c_str()) != 0) {
      traceLine("ThumbnailController: cannot move a thumbnail to " + serverpath::forTrace(to));
    }
  }
}

void ThumbnailController::resolveForRenameFrom(const std::string& oldPath, const std::string& newPath) {
  SyncRootPath root(details_.syncFolderPath);
  MutexLock lock(mutex_);
  for (Item& item : items_) {
    if (!engineset::hasComponentPrefix(item.source, oldPath)) continue;
    std::string source = newPath + item.source.substr(oldPath.size());
    std::string relative = root.isFullPath(source) ? root.relative(source) : std::string();
    if (relative.empty() || !serverpath::isSafeItemPath(relative) || !engineset::isListablePath(relative)) {
      // Moved out of the sync root: nothing of it belongs on the server.
      item.failed = true;
      continue;
    }
    if (item.generated) moveThumbnails(item.relative, relative);
    item.source = std::move(source);
    item.relative = std::move(relative);
    item.uploaded = false;
  }
}

bool ThumbnailController::upload(const std::string& serverBase) {
  struct Sent {
    size_t index;
    std::string relative;
  };
  std::vector<Sent> sent;
  std::vector<std::string> entries;
  {
    MutexLock lock(mutex_);
    for (size_t i = 0; i < items_.size(); ++i) {
      const Item& item = items_[i];
      if (!item.generated || item.uploaded || item.failed) continue;
      sent.push_back({i, item.relative});
      for (const Size& size : kSizes) entries.push_back(item.relative + std::string(size.suffix));
    }
  }
  if (entries.empty()) return false;
  std::unique_ptr<PrivateWorkFolder> work = PrivateWorkFolder::make("ulmora-thumbnails");
  if (!work) return false;
  auto sets = engineset::writeSetFiles(work->path(), "set", entries, destination_);
  if (!sets) return false;

  User user = details_.toUser();
  auto engine = std::make_shared<ServiceEngineRun>(details_.exePath, user, proxy_);
  std::vector<std::string> args;
  for (const std::string& set : *sets) args.push_back("--files-from=" + set);
  args.push_back(destination_);
  args.push_back(engine->remote(serverBase));
  {
    MutexLock lock(mutex_);
    if (stopped_) return false;
    engine_ = engine;
  }
  std::set<std::string> refused;
  ServiceEngineRun::Outcome outcome = engine->run(args, [&](std::string_view raw) {
    EngineLineRecord rec;
    if (QLSYNCParser::ParseLineStr(raw, rec, QLSYNCParser::kTransfer) != QLSYNCParser::kOk) return;
    if (rec.kind() == "IOERROR" || rec.kind() == "SFERROR") {
      refused.insert(serverpath::withLeadingSlash(rec.text(QLSYNCParser::kPathKey)));
    }
  });
  MutexLock lock(mutex_);
  engine_.reset();
  if (!outcome.cancelled && !outcome.succeeded() &&
      (outcome.process.exitStatus != 23 || !outcome.fatal.empty())) {
    traceLine("ThumbnailController: thumbnail upload failed: " + outcome.errorText());
    return false;
  }
  if (outcome.cancelled) return false;
  const std::string base = serverBase == "/" ? std::string() : serverpath::withLeadingSlash(serverBase);
  for (const Sent& s : sent) {
    Item& item = items_[s.index];
    bool allUp = true;
    for (const Size& size : kSizes) {
      if (refused.count(s.relative + std::string(size.suffix)) != 0) allUp = false;
    }
    if (!allUp) {
      item.failed = true;  // refused by the engine: trying again would not help
      continue;
    }
    for (const Size& size : kSizes) uploaded_.push_back(base + s.relative + std::string(size.suffix));
    // A rename during the upload leaves the item for the next pass.
    if (item.relative == s.relative) item.uploaded = true;
  }
  return true;
}

}  // namespace ulmora
