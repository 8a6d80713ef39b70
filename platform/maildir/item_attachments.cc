#include "platform/maildir/item_attachments.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <vector>

#include "platform/com_error.h"
#include "platform/maildir/store_util.h"
#include "platform/posix/posix_util.h"

namespace stow::maildir {

namespace {

namespace fs = std::filesystem;
using mime::GRef;

class MimeAttachment : public om::Attachment {
 public:
  MimeAttachment(std::shared_ptr<MimeItem> item, std::shared_ptr<AttachmentState> state)
      : item_(std::move(item)), state_(std::move(state)) {}

  std::string FileName() override {
    Alive();
    return NameFrom(mime::DispositionParameter(state_->part.get(), "filename"));
  }
  std::string DisplayName() override {
    Alive();
    return NameFrom(mime::ContentTypeParameter(state_->part.get(), "name"));
  }
  std::int64_t Size() override {
    Alive();
    if (!state_->size) state_->size = mime::DecodedSize(state_->part.get());
    return *state_->size;
  }
  Value Field(std::uint32_t tag) override {
    Alive();
    if (tag == om::PR_ATTACH_CONTENT_ID) {
      std::string s = mime::ContentId(state_->part.get());
      s.erase(0, s.find_first_not_of(" \t"));
      s.erase(s.find_last_not_of(" \t") + 1);
      return s.empty() ? Value() : Value(s);
    }
    if (tag == om::PR_ATTACHMENT_HIDDEN) {
      bool h = state_->hidden ? *state_->hidden
                              : state_->loose || item_->StoredHidden(state_->part.get());
      return Value(h);
    }
    return Value();
  }
  void SetField(std::uint32_t tag, const Value& v) override {
    Alive();
    if (tag == om::PR_ATTACH_CONTENT_ID) {
      std::string s = IsEmpty(v) ? "" : ToText(v);
      if (!s.empty() && s.front() == '<') s.erase(0, 1);
      if (!s.empty() && s.back() == '>') s.pop_back();
      mime::SetContentId(state_->part.get(), s);
      return;
    }
    if (tag == om::PR_ATTACHMENT_HIDDEN) {
      state_->hidden = !IsEmpty(v) && ToBool(v);
      return;
    }
    Raise(errnum::kFail, kSource, "The property cannot be set on an attachment");
  }
  void SaveAsFile(const std::string& path) override { Write(path, true); }
  void SaveAsFileUnflushed(const std::string& path) override { Write(path, false); }
  void Write(const std::string& path, bool flush) {
    Alive();
    fs::path target(path);
    fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
      Raise(errnum::kPathNotFound, kSource, "Path not found: " + dir.string());
    auto fill = [&](int fd) {
      std::int64_t decoded = 0;
      Sha256 digest;
      mime::DecodePart(state_->part.get(), [&](const char* data, std::size_t n) {
        decoded += static_cast<std::int64_t>(n);
        digest.Update(data, n);
        while (n > 0) {
          ssize_t w = write(fd, data, n);
          if (w < 0 && errno == EINTR) continue;
          if (w < 0) RaiseErrno(errno, "Cannot write " + path, path);
          data += w;
          n -= static_cast<std::size_t>(w);
        }
      });
      // The bytes were just decoded in full: Size() need not decode them again, nor
      // Delete to learn what brings them back.
      state_->size = decoded;
      state_->sha256 = digest.Hex();
      // The mode is set before the flush, so that the flush covers it and a caller's
      // own flush of the file finds nothing left to write.
      fchmod(fd, 0644 & ~CurrentUmask());
      // The caller may take the attachment out of the mail next: the file must be
      // on disk before that (the caller's own flush, when it asked for none here).
      if (flush && fsync(fd) != 0) RaiseErrno(errno, "Cannot write " + path, path);
    };
    // A new file is written without a name and linked in whole, so that a process
    // killed while writing leaves no partial file in the user's folder.
    if (!fs::exists(target, ec)) {
      int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
      if (fd >= 0) {
        try {
          fill(fd);
        } catch (...) {
          close(fd);
          throw;
        }
        std::string self = "/proc/self/fd/" + std::to_string(fd);
        int rc = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
        if (close(fd) != 0 && rc == 0) {
          int err = errno;
          unlink(path.c_str());
          RaiseErrno(err, "Cannot write " + path, path);
        }
        if (rc == 0) return;
        // Taken meanwhile, or no /proc: the named way below.
      }
    }
    std::string tmpl = (dir / ("." + target.filename().string() + ".partial-XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) RaiseErrno(errno, "Cannot write " + path, path);
    std::string tmp = name.data();
    try {
      fill(fd);
      if (close(fd) != 0) {
        fd = -1;
        RaiseErrno(errno, "Cannot write " + path, path);
      }
      fd = -1;
      if (rename(tmp.c_str(), path.c_str()) != 0) RaiseErrno(errno, "Cannot write " + path, path);
    } catch (...) {
      if (fd >= 0) close(fd);
      unlink(tmp.c_str());
      throw;
    }
  }
  void Delete() override {
    Alive();
    if (state_->loose) {
      item_->RefuseIfSealed(nullptr);
      state_->deleted = true;
      return;
    }
    GMimeObject* part = state_->part.get();
    item_->RefuseIfSealed(part);
    GMimeMessage* m = item_->SoundDoc()->message();
    if (!state_->sha256) {
      Sha256 digest;
      std::int64_t size = 0;
      bool exact = IgnoreErrors([&] {
                     mime::DecodePart(part, [&](const char* d, std::size_t n) {
                       digest.Update(d, n);
                       size += static_cast<std::int64_t>(n);
                     });
                   }) == 0;
      // Bytes that cannot be decoded exactly never came out whole: nothing to match.
      if (exact) {
        state_->size = size;
        state_->sha256 = digest.Hex();
      }
    }
    if (state_->sha256)
      item_->NoteRemoved(
          mime::DescribePart(m, part, state_->indexes, FileName(), *state_->size, *state_->sha256));
    mime::RemovePart(m, part);
    state_->deleted = true;
  }

 private:
  static mode_t CurrentUmask() {
    mode_t m = umask(0);
    umask(m);
    return m;
  }
  // The name a parameter gives the part, else the one GMime finds, else the one made
  // for a nameless part.
  std::string NameFrom(const std::optional<std::string>& parameter) {
    std::string name = parameter ? Clean(*parameter) : mime::PartFileName(state_->part.get());
    return name.empty() ? state_->madeName : name;
  }
  static std::string Clean(std::string s) {
    if (s.find("=?") != std::string::npos) s = mime::DecodeHeaderText(s);
    for (auto& c : s)
      if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
    return s;
  }
  void Alive() {
    item_->Alive();
    if (state_->deleted) Raise(errnum::kObjectGone, kSource, "The attachment has been deleted");
  }
  std::shared_ptr<MimeItem> item_;
  std::shared_ptr<AttachmentState> state_;
};

class MimeAttachments : public om::Attachments {
 public:
  explicit MimeAttachments(std::shared_ptr<MimeItem> item) : item_(std::move(item)) {}
  std::int64_t Count() override {
    return static_cast<std::int64_t>(item_->AttachmentStates().size());
  }
  std::shared_ptr<om::Attachment> Item(std::int64_t index) override {
    auto states = item_->AttachmentStates();
    if (index < 1 || index > static_cast<std::int64_t>(states.size()))
      Raise(errnum::kSubscriptOutOfRange, kSource, "Array index out of bounds");
    return std::make_shared<MimeAttachment>(item_, states[static_cast<std::size_t>(index - 1)]);
  }
  std::vector<std::shared_ptr<om::Attachment>> All() override {
    std::vector<std::shared_ptr<om::Attachment>> out;
    for (auto& st : item_->AttachmentStates())
      out.push_back(std::make_shared<MimeAttachment>(item_, st));
    return out;
  }
  std::shared_ptr<om::Attachment> Add(const std::string& path,
                                      const std::string& displayName) override {
    auto doc = item_->SoundDoc();
    item_->RefuseIfSealed(nullptr);
    int src = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (src < 0) {
      int err = errno;
      Raise(err == ENOENT ? errnum::kFileNotFound : posix::ErrorNumberFor(err, path), kSource,
            "Cannot add the file " + path + ": " + std::strerror(err));
    }
    struct stat st {};
    fstat(src, &st);
    if (S_ISDIR(st.st_mode)) {
      close(src);
      Raise(errnum::kPermissionDenied, kSource,
            "Cannot add the folder " + path + " as an attachment");
    }
    // The bytes are copied now, as the host copies an attached file: the caller may
    // delete or change its file before Save. A small file is kept in memory; a
    // larger one in a private unlinked file (without a name where the file system
    // allows it, so that a process killed here leaves nothing behind).
    if (st.st_size <= kAddInMemoryBytes) {
      // Read straight into the memory the part's content keeps.
      std::size_t room = static_cast<std::size_t>(st.st_size) + 1, size = 0;
      std::unique_ptr<char, decltype(&g_free)> bytes(static_cast<char*>(g_malloc(room)), g_free);
      for (ssize_t n;
           size < room && (n = ReadOrRaise(src, bytes.get() + size, room - size, path, {src})) > 0;)
        size += static_cast<std::size_t>(n);
      // A file that grew since its size was taken is copied through a file below.
      if (size < room) {
        close(src);
        Sha256 digest;
        digest.Update(bytes.get(), size);
        GRef<GMimeStream> stream = mime::TakeMemoryContent(bytes.release(), size);
        return Attach(doc, stream.get(), path, displayName, static_cast<std::int64_t>(size),
                      digest.Hex());
      }
      lseek(src, 0, SEEK_SET);
    }
    int copy = open(item_->storage().WorkFolder().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (copy < 0) {
      std::string tmpl = item_->storage().WorkFolder() + "/.stowbright-add-XXXXXX";
      std::vector<char> name(tmpl.begin(), tmpl.end());
      name.push_back('\0');
      copy = mkstemp(name.data());
      if (copy < 0) {
        int err = errno;
        close(src);
        RaiseErrno(err, "Cannot add the file " + path, item_->storage().WorkFolder());
      }
      unlink(name.data());
    }
    std::int64_t total = 0;
    Sha256 digest;
    std::vector<char> buf(1 << 16);
    for (;;) {
      ssize_t n = ReadOrRaise(src, buf.data(), buf.size(), path, {src, copy});
      if (n == 0) break;
      digest.Update(buf.data(), static_cast<std::size_t>(n));
      if (write(copy, buf.data(), static_cast<std::size_t>(n)) != n) {
        int err = errno;
        close(src);
        close(copy);
        RaiseErrno(err ? err : ENOSPC, "Cannot add the file " + path,
                   item_->storage().WorkFolder());
      }
      total += n;
    }
    close(src);
    lseek(copy, 0, SEEK_SET);  // the stream's bounds start where the descriptor is
    GRef<GMimeStream> stream = mime::FileContent(copy);
    return Attach(doc, stream.get(), path, displayName, total, digest.Hex());
  }

 private:
  static constexpr off_t kAddInMemoryBytes = 1 << 20;

  // read(2) of the file being added; on an error the descriptors are closed and the
  // error raised.
  static ssize_t ReadOrRaise(int fd, char* buf, std::size_t size, const std::string& path,
                             std::initializer_list<int> closeOnError) {
    for (;;) {
      ssize_t n = read(fd, buf, size);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      int err = errno;
      for (int f : closeOnError) close(f);
      RaiseErrno(err, "Cannot read " + path, path);
    }
  }

  // A file with the name and the bytes of a part taken out of this mail brings that
  // part back as it was; any other is a new attachment.
  std::shared_ptr<om::Attachment> Attach(const std::shared_ptr<mime::Document>& doc,
                                         GMimeStream* content, const std::string& path,
                                         const std::string& displayName, std::int64_t size,
                                         const std::string& sha256) {
    std::string fileName = fs::path(path).filename().string();
    std::string shown = displayName.empty() ? fileName : displayName;
    GMimeObject* part = nullptr;
    if (auto removed = item_->TakeRemoved(shown, size, sha256))
      part = mime::RestorePart(doc->message(), *removed, content);
    if (!part) {
      part = mime::AddAttachmentPart(doc->message(), content, fileName);
      mime::SetContentTypeParameter(part, "name", shown);
    }
    for (auto& s : item_->AttachmentStates()) {
      if (s->part.get() == part) {
        s->sha256 = sha256;
        s->size = size;
        return std::make_shared<MimeAttachment>(item_, s);
      }
    }
    Raise(errnum::kFail, kSource, "The added attachment cannot be found");
  }

 private:
  std::shared_ptr<MimeItem> item_;
};

}  // namespace

std::shared_ptr<om::Attachments> MakeAttachments(std::shared_ptr<MimeItem> item) {
  return std::make_shared<MimeAttachments>(std::move(item));
}

}  // namespace stow::maildir
