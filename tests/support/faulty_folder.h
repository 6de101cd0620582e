#pragma once

// A folder on disk whose operations, and those of every stream it opens, fail
// where a test says: each asks fails(operation, path) first. The operations
// are "stat", "list", "mkdir", "remove", "rename", "flush", "open"
// (reading), "create" (writing), "read", "write", "tell", "seek" and "close".

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "io/folder.h"
#include "io/stream.h"

namespace quarrow::test {

using FailRule = std::function<bool(const char* operation, const std::string& path)>;

class FaultyStream : public ByteStream {
 public:
  FaultyStream(ByteStream* inner, std::string path, FailRule* fails)
      : inner_(inner), path_(std::move(path)), fails_(fails) {}
  ~FaultyStream() override { stream_close(inner_); }
  int64_t read(void* b, uint64_t n) override {
    return fail("read") ? -1 : stream_read(inner_, b, n);
  }
  int64_t write(const void* b, uint64_t n) override {
    return fail("write") ? -1 : stream_write(inner_, b, n);
  }
  int64_t tell() override { return fail("tell") ? -1 : stream_tell(inner_); }
  int64_t seek(int64_t offset, int32_t origin) override {
    return fail("seek") ? -1 : stream_seek(inner_, offset, origin);
  }
  // Like a platform close that fails: the handle is gone all the same.
  int64_t close() override {
    bool failed = fail("close");
    int64_t result = stream_close(inner_);
    inner_ = nullptr;
    return failed ? -1 : result;
  }

 private:
  bool fail(const char* operation) { return (*fails_)(operation, path_); }
  ByteStream* inner_;
  std::string path_;
  FailRule* fails_;
};

class FaultyFolder : public Folder {
 public:
  FaultyFolder(const std::string& root, FailRule fails)
      : inner_(folder_open(root.c_str())), fails_(std::move(fails)) {
    root_.assign(inner_->root());
  }
  bool stat(StringView path, PathInfo* info) override {
    return !fail("stat", path) && inner_->stat(path, info);
  }
  void list(StringView path, DirListing* listing) override {
    if (!fail("list", path)) inner_->list(path, listing);
  }
  bool make_folder(StringView path) override {
    return !fail("mkdir", path) && inner_->make_folder(path);
  }
  bool remove(StringView path) override { return !fail("remove", path) && inner_->remove(path); }
  bool rename(StringView from, StringView to) override {
    return !fail("rename", to) && inner_->rename(from, to);
  }
  bool flush(StringView path) override { return !fail("flush", path) && inner_->flush(path); }
  ByteStream* open_file(StringView path, uint32_t flags) override {
    if (fail(flags & FS_OPEN_WRITE ? "create" : "open", path)) return nullptr;
    ByteStream* inner = inner_->open_file(path, flags);
    return inner ? new FaultyStream(inner, std::string(path.data, path.size), &fails_) : nullptr;
  }

 private:
  bool fail(const char* operation, StringView path) {
    return fails_(operation, std::string(path.data, path.size));
  }
  std::unique_ptr<Folder> inner_;
  FailRule fails_;
};

}  // namespace quarrow::test
