#include "kestrel/heuristic/package_lease.h"

#include <sys/stat.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace kestrel {

using Loader = torch::inductor::AOTIModelPackageLoader;

namespace {

// What makes two loads of a path the same package: the file itself, not its
// name, so that a rewritten package is never served from an old load.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified_ns = 0;
  std::int64_t changed_ns = 0;

  auto key() const { return std::tie(device, inode, size, modified_ns, changed_ns); }
  bool operator<(const FileIdentity& other) const { return key() < other.key(); }
  bool operator==(const FileIdentity& other) const { return key() == other.key(); }
};

bool identify(const std::string& path, FileIdentity& identity) {
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) return false;
  identity.device = info.st_dev;
  identity.inode = info.st_ino;
  identity.size = info.st_size;
  identity.modified_ns = std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
  identity.changed_ns = std::int64_t{info.st_ctim.tv_sec} * 1'000'000'000 + info.st_ctim.tv_nsec;
  return true;
}

// The loader extracts a package into "aotinductor_*" under the temporary
// directory and leaves that folder behind when loading fails.
constexpr std::string_view kExtractionPrefix = "aotinductor_";

std::set<std::filesystem::path> extractionFolders() {
  std::set<std::filesystem::path> folders;
  std::error_code error;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
  if (error) return folders;
  for (std::filesystem::directory_iterator it(temp, error), end; !error && it != end; it.increment(error)) {
    if (it->path().filename().string().starts_with(kExtractionPrefix)) folders.insert(it->path());
  }
  return folders;
}

// Loads are serialised, so a folder that appeared during a failed load is
// that load's, unless another process loaded at the same moment: with more
// than one candidate nothing is removed.
void removeLeftoverOf(const std::set<std::filesystem::path>& before) {
  std::vector<std::filesystem::path> appeared;
  for (const auto& folder : extractionFolders()) {
    if (!before.contains(folder)) appeared.push_back(folder);
  }
  if (appeared.size() != 1) return;
  std::error_code ignored;
  std::filesystem::remove_all(appeared.front(), ignored);
}

}  // namespace

// Leases keep their package alive, so a lease can be returned after its file
// was replaced on disk.
struct LoadedPackage {
  FileIdentity identity;
  std::vector<std::unique_ptr<Loader>> loaders;  // every loader built for this file
  std::vector<Loader*> idle;
};

namespace {

struct Registry {
  // Held around every construction and destruction of a loader, and around
  // the bookkeeping below.
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<LoadedPackage>> by_path;
  std::size_t loaded = 0;
};

// Never destroyed: loaders must not be torn down during interpreter exit,
// after LibTorch's own globals may already be gone.
Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

std::unique_ptr<Loader> loadLocked(const std::string& package_path) {
  const auto before = extractionFolders();
  try {
    return std::make_unique<Loader>(package_path, "model", /*run_single_threaded=*/false, /*num_runners=*/1,
                                    /*device_index=*/-1);
  } catch (...) {
    removeLeftoverOf(before);
    throw;
  }
}

}  // namespace

PackageLease::PackageLease(std::shared_ptr<LoadedPackage> package, Loader* loader)
    : package_(std::move(package)), loader_(loader) {}

PackageLease::PackageLease(PackageLease&& other) noexcept
    : package_(std::move(other.package_)), loader_(std::exchange(other.loader_, nullptr)) {}

PackageLease& PackageLease::operator=(PackageLease&& other) noexcept {
  if (this != &other) {
    PackageLease released(std::move(*this));
    package_ = std::move(other.package_);
    loader_ = std::exchange(other.loader_, nullptr);
  }
  return *this;
}

PackageLease::~PackageLease() {
  if (loader_ == nullptr) return;
  Registry& shared = registry();
  const std::lock_guard lock(shared.mutex);
  package_->idle.push_back(loader_);
  package_.reset();  // the last lease of a replaced package destroys its loaders, under the lock
}

PackageLease leasePackage(const std::string& package_path) {
  Registry& shared = registry();
  const std::lock_guard lock(shared.mutex);

  FileIdentity identity;
  if (!identify(package_path, identity)) {
    // Nothing to key it by: LibTorch reports the missing file. Should the
    // load succeed anyway, the loader serves this solve only.
    auto entry = std::make_shared<LoadedPackage>();
    entry->loaders.push_back(loadLocked(package_path));
    ++shared.loaded;
    return PackageLease(entry, entry->loaders.back().get());
  }

  std::shared_ptr<LoadedPackage>& slot = shared.by_path[package_path];
  if (slot && !(slot->identity == identity)) {
    // Rewritten on disk: later solves load the new file. Leased loaders of
    // the old one stay valid until their solves end.
    slot.reset();
  }
  if (!slot) {
    slot = std::make_shared<LoadedPackage>();
    slot->identity = identity;
  }
  if (slot->idle.empty()) {
    slot->loaders.push_back(loadLocked(package_path));
    ++shared.loaded;
    slot->idle.push_back(slot->loaders.back().get());
  }
  Loader* loader = slot->idle.back();
  slot->idle.pop_back();
  return PackageLease(slot, loader);
}

std::size_t loadedPackageCount() {
  Registry& shared = registry();
  const std::lock_guard lock(shared.mutex);
  return shared.loaded;
}

}  // namespace kestrel
