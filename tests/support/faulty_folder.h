#pragma once

// A folder on disk whose operations, and those of every stream it opens, fail where
// fails(operation, path) says: "stat", "list", "mkdir", "remove", "rename", "flush", "open"
// (reading), "create" (writing), "read", "write", "tell", "seek", "close". before_write hears each
// write's size.

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "io/folder.h"
#include "io/stream.h"

namespace quarrow::test {

using FailRule = std::function<bool(const char* operation, const std::string& path)>;
using WriteHook = std::function<void(uint64_t size)>;

class FaultyStream : public ByteStream {
 public:
  FaultyStream(ByteStream* inner, std::string path, const FailRule& fails,
               const WriteHook& before_write)
      : inner_(inner), path_(std::move(path)), fails_(fails), before_write_(before_write) {}
  ~FaultyStream() override { stream_close(inner_); }
  int64_t read(void* b, uint64_t n) override {
    return fail("read") ? -1 : stream_read(inner_, b, n);
  }
  int64_t write(const void* b, uint64_t n) override {
    if (fail("write")) return -1;
    if (before_write_) before_write_(n);
    return stream_write(inner_, b, n);
  }
  int64_t tell() override { return fail("tell") ? -1 : stream_tell(inner_); }
  int64_t seek(int64_t offset, int32_t origin) override {
    return fail("seek") ? -1 : stream_seek(inner_, offset, origin);
  }
  // Like a platform close that fails: the handle is gone all the same.
  int64_t close() override {
    int64_t result = stream_close(std::exchange(inner_, nullptr));
    return fail("close") ? -1 : result;
  }

 private:
  bool fail(const char* operation) { return fails_ && fails_(operation, path_); }
  ByteStream* inner_;
  std::string path_;
  const FailRule& fails_;
  const WriteHook& before_write_;
};

class FaultyFolder : public Folder {
 public:
  FaultyFolder(const std::string& root, FailRule fails, WriteHook before_write = nullptr)
      : inner_(folder_open(root.c_str())),
        fails_(std::move(fails)),
        before_write_(std::move(before_write)) {
    root_.assign(inner_->root());
  }
  bool stat(StringView p, PathInfo* i) override { return !fail("stat", p) && inner_->stat(p, i); }
  void list(StringView p, DirListing* listing) override {
    if (!fail("list", p)) inner_->list(p, listing);
  }
  bool make_folder(StringView p) override { return !fail("mkdir", p) && inner_->make_folder(p); }
  bool remove(StringView p) override { return !fail("remove", p) && inner_->remove(p); }
  bool rename(StringView from, StringView to) override {
    return !fail("rename", to) && inner_->rename(from, to);
  }
  bool flush(StringView p) override { return !fail("flush", p) && inner_->flush(p); }
  ByteStream* open_file(StringView p, uint32_t flags) override {
    if (fail(flags & FS_OPEN_WRITE ? "create" : "open", p)) return nullptr;
    ByteStream* inner = inner_->open_file(p, flags);
    return inner ? new FaultyStream(inner, std::string(p.data, p.size), fails_, before_write_)
                 : nullptr;
  }

 private:
  bool fail(const char* operation, StringView path) {
    return fails_ && fails_(operation, std::string(path.data, path.size));
  }
  std::unique_ptr<Folder> inner_;
  FailRule fails_;
  WriteHook before_write_;
};

}  // namespace quarrow::test
