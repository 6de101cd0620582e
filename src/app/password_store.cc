#include "app/password_store.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "app/settings.h"
#include "app/whole_file.h"
#include "io/file_stream.h"
#include "io/folder.h"
#include "log/log.h"

namespace quarrow {

namespace {

// One entry per match: group 1 the key, group 2 the value.
constexpr char kPattern[] = R"re(\s*"(default|[a-fA-F\d]*)"\s*:\s*"(.*?)"\s*,?\s*)re";

// The pattern has no nested repetition, so backtracking stays linear in the
// text; the default match limit would only cut off long values.
constexpr uint32_t kMatchLimit = UINT32_MAX;

// The compiled pattern and what matching needs, released together.
class PasswordPattern {
 public:
  ~PasswordPattern() {
    pcre2_match_data_free(match_);
    pcre2_match_context_free(match_context_);
    pcre2_code_free(code_);
    pcre2_compile_context_free(compile_context_);
  }

  bool compile() {
    compile_context_ = pcre2_compile_context_create(nullptr);
    if (!compile_context_) return false;
    // "." must stop at a line feed and at nothing else, whatever newline
    // convention the library was built with.
    pcre2_set_newline(compile_context_, PCRE2_NEWLINE_LF);
    int error = 0;
    PCRE2_SIZE offset = 0;
    // No UTF mode: the file may hold any bytes, and each byte is then one
    // character, so invalid UTF-8 can neither fail nor derail a match.
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern), PCRE2_ZERO_TERMINATED, 0, &error,
                          &offset, compile_context_);
    if (!code_) return false;
    // The compiled matcher skips ahead over runs of white space; the
    // interpreter, used where no JIT exists, retries inside them.
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
    match_context_ = pcre2_match_context_create(nullptr);
    match_ = pcre2_match_data_create_from_pattern(code_, nullptr);
    if (!match_context_ || !match_) return false;
    pcre2_set_match_limit(match_context_, kMatchLimit);
    return true;
  }

  // Searches from offset; true with the whole match and both groups.
  bool search(StringView text, uint64_t offset) {
    int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text.data), text.size, offset, 0,
                         match_, match_context_);
    if (rc < 0 && rc != PCRE2_ERROR_NOMATCH) {
      QLOG(LOG_WARN, "Stopped reading password file at offset %llu (pattern error %d)",
           static_cast<unsigned long long>(offset), rc);
    }
    if (rc < 3) return false;
    ovector_ = pcre2_get_ovector_pointer(match_);
    return ovector_[2] != PCRE2_UNSET && ovector_[4] != PCRE2_UNSET;
  }

  uint64_t match_end() const { return ovector_[1]; }
  uint64_t match_start() const { return ovector_[0]; }
  StringView group(StringView text, int i) const {
    return StringView(text.data + ovector_[2 * i], ovector_[2 * i + 1] - ovector_[2 * i]);
  }

 private:
  pcre2_compile_context* compile_context_ = nullptr;
  pcre2_code* code_ = nullptr;
  pcre2_match_context* match_context_ = nullptr;
  pcre2_match_data* match_ = nullptr;
  PCRE2_SIZE* ovector_ = nullptr;
};

// A key already present keeps its first value.
void store_entry(PasswordStore* store, StringView key_text, StringView value_text) {
  SsoString key;
  SsoString value;
  if (key.assign(key_text) && value.assign(value_text)) {
    // The key is moved only into a newly claimed slot, so it is still here
    // for the warning otherwise.
    PasswordStore::InsertResult r = store->insert(std::move(key));
    if (r.slot && r.inserted) {
      r.slot->value = std::move(value);
      return;
    }
  }
  QLOG(LOG_WARN, "Failed to insert key for \"%s\" in password storage", key.c_str());
}

}  // namespace

bool password_store_parse(StringView text, PasswordStore* store) {
  PasswordPattern pattern;
  if (!pattern.compile()) return false;
  if (!store) return true;
  // pcre2 wants a non-null subject even when it is empty.
  if (!text.data) text = StringView("", 0);
  uint64_t offset = 0;
  while (offset <= text.size && pattern.search(text, offset)) {
    store_entry(store, pattern.group(text, 1), pattern.group(text, 2));
    // The pattern cannot match empty text, but an empty match must not
    // search the same place forever.
    offset = pattern.match_end() > pattern.match_start() ? pattern.match_end() : offset + 1;
  }
  return true;
}

std::optional<StringView> password_store_find(const PasswordStore& store, StringView key) {
  const PasswordStore::Slot* slot = store.find(key);
  if (!slot) return std::nullopt;
  return slot->value.view();
}

bool password_store_load(ConverterSettings* settings, int* status) {
  if (!settings) return false;
  bool named = !settings->password_file.empty();
  SsoString default_path;
  if (!named) {
    if (!default_path.assign("passwords.json")) return true;
    path_normalize(&default_path);
  }
  const SsoString& path = named ? settings->password_file[0] : default_path;

  ByteStream* stream = file_stream_open(path.c_str(), FILE_MODE_READ);
  if (!stream) {
    if (!named) return true;
    QLOG(LOG_ERROR, "Failed to open password file at %s", path.c_str());
    if (status) *status |= 1;
    return false;
  }

  // The whole file is held and searched, so a huge one is refused. A file
  // whose bytes do not all arrive (a folder) gives no passwords.
  const uint64_t limit = settings->limits.max_password_file_bytes;
  SsoString text;
  WholeFile read = read_whole_file(stream, limit, "password file", path, &text);
  bool ok = true;
  if (read == WHOLE_FILE_TOO_LARGE) {
    QLOG(LOG_ERROR, "Password file %s is larger than the limit of %llu bytes", path.c_str(),
         static_cast<unsigned long long>(limit));
    if (status) *status |= 1;
    ok = false;
  } else if (read == WHOLE_FILE_READ && !password_store_parse(text, &settings->passwords)) {
    QLOG(LOG_ERROR, "Could not parse password file");
    ok = false;
  }
  stream_close(stream);
  return ok;
}

}  // namespace quarrow
