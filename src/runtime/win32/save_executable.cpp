// Saving into the executable: Excel saves the workbook to its file, then the file (compressed, with
// its tag) and the compiled workbook stream with the current values (in sections combined with the
// key) replace the resources of the target. A save writes all of it or nothing: the resource update is
// discarded on any failure, and "Save As" builds the new executable beside the target and moves it
// into place only when it is complete.
#include "runtime/win32/save_executable.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "excel/excel_members.h"
#include "formula/compiled_workbook.h"
#include "formula/workbook_stream.h"
#include "platform/text_services.h"
#include "platform/win32/code_page.h"
#include "runtime/encoded_strings.h"
#include "runtime/pe_resources.h"
#include "runtime/saved_executable.h"
#include "runtime/section_writer.h"
#include "runtime/win32/host_effects.h"
#include "runtime/win32/runtime_host.h"

namespace cwbk {
namespace {

namespace app = dispid::application;

constexpr int kOpenTries = 1001;
constexpr DWORD kOpenPause = 200; // milliseconds
constexpr size_t kCopyChunk = 2000000;
constexpr unsigned kPathCapacity = 1024;

const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

bool exists(const std::u16string& path) {
  return GetFileAttributesW(wide(path)) != INVALID_FILE_ATTRIBUTES;
}

std::u16string tempFolder() {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  return n > 0 && n <= MAX_PATH ? std::u16string(reinterpret_cast<const char16_t*>(folder), n) : u".\\";
}

// Replaces the first "%s" of a text.
std::u16string formatted(std::u16string text, std::u16string_view value) {
  if (const size_t at = text.find(u"%s"); at != std::u16string::npos) text.replace(at, 2, value);
  return text;
}

// Copies a file in chunks. A short read or write fails and removes what was written: a copy is whole
// or absent.
enum class CopyResult { Copied, SourceUnreadable, DestinationUnwritable, Same, Incomplete };
CopyResult copyFile(const std::u16string& source, const std::u16string& destination) {
  if (equalIgnoringCase(source, destination)) return CopyResult::Same;
  HANDLE in = CreateFileW(wide(source), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return CopyResult::SourceUnreadable;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(in, &size)) {
    CloseHandle(in);
    return CopyResult::SourceUnreadable;
  }
  HANDLE out = CreateFileW(wide(destination), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    CloseHandle(in);
    return CopyResult::DestinationUnwritable;
  }
  std::vector<char> chunk(kCopyChunk);
  long long left = size.QuadPart;
  bool whole = true;
  while (left > 0 && whole) {
    const DWORD want = DWORD(std::min<long long>(left, static_cast<long long>(kCopyChunk)));
    DWORD got = 0, put = 0;
    whole = ReadFile(in, chunk.data(), want, &got, nullptr) && got == want &&
            WriteFile(out, chunk.data(), got, &put, nullptr) && put == got;
    left -= got;
  }
  CloseHandle(in);
  CloseHandle(out);
  if (whole) return CopyResult::Copied;
  DeleteFileW(wide(destination));
  return CopyResult::Incomplete;
}

std::vector<uint8_t> readWholeFile(const std::u16string& path, bool& ok) {
  std::vector<uint8_t> bytes;
  HANDLE file = CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ok = file != INVALID_HANDLE_VALUE;
  if (!ok) return bytes;
  LARGE_INTEGER size{};
  ok = GetFileSizeEx(file, &size) && size.QuadPart < (1LL << 31);
  if (ok) {
    bytes.resize(size_t(size.QuadPart));
    DWORD got = 0;
    ok = bytes.empty() ||
         (ReadFile(file, bytes.data(), DWORD(bytes.size()), &got, nullptr) && got == bytes.size());
  }
  CloseHandle(file);
  return bytes;
}

// A type or name of a resource as the update functions take it: a text, or an integer id.
const wchar_t* resourceKey(const std::u16string& text, uint16_t id) {
  return text.empty() ? MAKEINTRESOURCEW(id) : reinterpret_cast<const wchar_t*>(text.c_str());
}

// The resource sink over a resource update of the target. The update starts from an empty resource
// table and puts back every resource of the target that the save does not replace (the program's icons,
// version and the rest): removing single resources is not reliable on every system, and this way no
// section of an earlier, longer save survives.
class ResourceUpdate final : public ResourceSink {
public:
  explicit ResourceUpdate(const std::u16string& target) : handle_(BeginUpdateResourceW(wide(target), TRUE)) {}
  ~ResourceUpdate() override {
    if (handle_) EndUpdateResourceW(handle_, TRUE);
  }
  bool begun() const { return handle_ != nullptr; }
  bool writeResource(std::u16string_view type, uint16_t id, std::span<const uint8_t> data) override {
    const std::u16string name(type);
    return UpdateResourceW(handle_, wide(name), MAKEINTRESOURCEW(id), kResourceLanguage,
                           const_cast<uint8_t*>(data.data()), DWORD(data.size())) != 0;
  }
  bool keep(const PeResource& r) {
    return UpdateResourceW(handle_, resourceKey(r.typeName, r.typeId), resourceKey(r.name, r.nameId),
                           r.language, const_cast<uint8_t*>(r.data.data()), DWORD(r.data.size())) != 0;
  }
  // Writes everything into the file; afterwards the update is over.
  bool commit() {
    const bool ok = EndUpdateResourceW(handle_, FALSE) != 0;
    handle_ = nullptr;
    return ok;
  }

private:
  HANDLE handle_;
};

// Waits until the target can be opened for appending (another process may still hold it), and goes on
// after the last try in any case.
void waitForTarget(const std::u16string& target) {
  for (int i = 0; i < kOpenTries; ++i) {
    HANDLE file = CreateFileW(wide(target), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return;
    }
    Sleep(kOpenPause);
  }
}

// Lets Excel save the workbook to its file with alerts, events and screen updating off, and puts them
// back. Returns false when Excel did not save.
bool saveInExcel(RuntimeHost& host) {
  ApplicationWrapper& application = host.application;
  WorkbookWrapper& workbook = host.workbook;
  if (application.isEmpty() || workbook.isEmpty()) return false;
  bool events = false, screen = true, saved = false;
  try {
    events = application.enableEvents();
    screen = application.getBoolean(app::ScreenUpdating);
    application.putBoolean(app::ScreenUpdating, false);
    application.putBoolean(app::DisplayAlerts, false);
    if (events) application.putEnableEvents(false);
    if (!host.settings.workbookPassword.empty()) {
      workbook.setPasswordEncryptionOptions(encodedString(EncodedString::PasswordProvider),
                                            encodedString(EncodedString::PasswordAlgorithm), 128, true);
      workbook.putPassword(systemCodePageToUtf16(host.settings.workbookPassword));
    }
    workbook.save();
    host.workbookFile = workbook.fullName();
    saved = true;
  } catch (const ComError&) {
  }
  try {
    if (events) application.putEnableEvents(true);
    application.putBoolean(app::DisplayAlerts, true);
    application.putBoolean(app::ScreenUpdating, screen);
  } catch (const ComError&) {
  }
  return saved;
}

// Writes the workbook file and the current stream into `target`. Nothing is written unless everything
// can be: the sections are made before the update begins, and a failing step discards the update.
bool writeResources(RuntimeHost& host, const std::u16string& target) {
  if (!host.model || host.workbookFile.empty()) return false;
  // The workbook file, through a copy: Excel may keep the file itself open.
  const TempFiles temp = TempFiles::system();
  const std::u16string copy = freshTempFileName(temp).u16string();
  if (copyFile(host.workbookFile, copy) != CopyResult::Copied) return false;
  bool copied = false;
  const std::vector<uint8_t> file = readWholeFile(copy, copied);
  DeleteFileW(wide(copy));
  if (!copied) return false;

  std::vector<uint8_t> stream;
  if (!writeWorkbook(*host.model, stream).ok) return false;
  SectionWriter sections(host.key, temp);
  try {
    appendStreamToSections(sections, stream);
  } catch (const std::exception&) {
    return false;
  }
  if (sections.sections().size() > kMaxSections) return false;
  const std::vector<uint8_t> block = buildWorkbookBlock(host.settings.workbookTag, file);
  if (block.empty()) return false;

  // The target's resources other than the workbook and the sections, which the save writes anew.
  waitForTarget(target);
  bool read = false;
  const std::vector<uint8_t> image = readWholeFile(target, read);
  const auto resources = read ? listResources(image) : std::nullopt;
  if (!resources) return false;
  const std::u16string type = encodedString(EncodedString::WorkbookResourceType);
  ResourceUpdate update(target);
  if (!update.begun()) return false;
  for (const PeResource& r : *resources)
    if (!hasTypeName(r, type) && !hasTypeName(r, kSectionResourceType) && !update.keep(r)) return false;
  if (!update.writeResource(type, kWorkbookResourceId, block)) return false;
  if (sections.writeSections(update, host.key) != SectionWriteStatus::Written) return false;
  return update.commit();
}

bool endsWithExe(std::u16string_view path) {
  return path.size() >= 4 && equalIgnoringCase(path.substr(path.size() - 4), u".exe");
}

// The name Excel saves the workbook under for a new executable: temp + title, or with "(1)", "(2)",
// ... until neither the name nor the name with ".xls" exists.
std::u16string workbookNameFor(const std::u16string& title) {
  const std::u16string base = tempFolder() + title;
  std::u16string name = base;
  for (int n = 1; exists(name) || exists(name + u".xls"); ++n) {
    std::u16string number;
    for (int v = n; v > 0; v /= 10)
      number.insert(number.begin(), char16_t(u'0' + v % 10));
    name = base + u"(" + number + u")";
  }
  return name;
}

// Saves the workbook in Excel under a new name (the file format it was opened with, the settings'
// password), and forgets the previous file.
bool saveWorkbookAs(RuntimeHost& host, const std::u16string& name) {
  ApplicationWrapper& application = host.application;
  WorkbookWrapper& workbook = host.workbook;
  bool saved = false;
  try {
    if (equalIgnoringCase(workbook.fullName(), name)) return true;
    application.putEnableEvents(false);
    application.putBoolean(app::DisplayAlerts, false);
    const Variant password = host.settings.workbookPassword.empty()
                                 ? Variant::missing()
                                 : Variant::text(systemCodePageToUtf16(host.settings.workbookPassword));
    workbook.saveAs(name, Variant::integer(host.fileFormat), password);
    saved = true;
  } catch (const ComError&) {
  }
  try {
    application.putBoolean(app::DisplayAlerts, true);
    application.putEnableEvents(true);
    if (saved) {
      const std::u16string previous = host.workbookFile;
      host.workbookFile = workbook.fullName();
      if (!previous.empty() && !equalIgnoringCase(previous, host.workbookFile)) DeleteFileW(wide(previous));
    }
  } catch (const ComError&) {
  }
  return saved;
}

} // namespace

bool saveIntoExecutable(RuntimeHost& host) {
  const DWORD attributes = GetFileAttributesW(wide(host.appPath));
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    showMessage(host.mainWindow, formatted(encodedString(EncodedString::ReadOnlyMessage), host.appPath),
                encodedString(EncodedString::ReadOnlyCaption), MB_OK | MB_ICONWARNING);
    showSaveAsDialog(host);
    return false;
  }
  // A workbook that Excel could not save leaves the executable as it was.
  return saveInExcel(host) && writeResources(host, host.appPath);
}

bool writeIntoExecutable(RuntimeHost& host) {
  return writeResources(host, host.appPath);
}

bool saveAsExecutable(RuntimeHost& host, std::u16string target) {
  if (target.empty()) return false;
  if (!endsWithExe(target)) target += u".exe";
  if (exists(target)) {
    const std::u16string question =
        formatted(u"The file '%s' already exists. Do you want to replace the existing file?", target);
    if (showMessage(host.mainWindow, question, u"Application " + host.settings.AppName,
                    MB_YESNO | MB_ICONWARNING) != IDYES)
      return false;
  }
  const std::u16string base = target.substr(0, target.size() - 4);
  const size_t slash = base.find_last_of(u'\\');
  const std::u16string title = slash == std::u16string::npos ? base : base.substr(slash + 1);

  if (equalIgnoringCase(host.appPath, target)) {
    if (!saveWorkbookAs(host, tempFolder() + title)) return false;
    return saveIntoExecutable(host);
  }
  // The new executable is built under a fresh name in the target's folder and moved into place once
  // it is complete: a failure leaves no half-written target and keeps a replaced one as it was.
  const std::u16string staging = target + u".part";
  if (copyFile(host.appPath, staging) != CopyResult::Copied) return false;
  const bool written =
      saveWorkbookAs(host, workbookNameFor(title)) && saveInExcel(host) && writeResources(host, staging) &&
      MoveFileExW(wide(staging), wide(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!written) {
    DeleteFileW(wide(staging));
    return false;
  }
  setApplicationPath(host, target);
  if (!host.appFolder.empty()) SetCurrentDirectoryW(wide(host.appFolder));
  return true;
}

void showSaveAsDialog(RuntimeHost& host) {
  char16_t path[kPathCapacity] = {};
  if (hostEffects().chooseFile(host.mainWindow, true, kExecutableFilter, u"Save As", path, kPathCapacity) &&
      path[0])
    saveAsExecutable(host, path);
}

void requestCleanup(RuntimeHost& host) {
  if (host.appPath.empty()) return;
  const std::u16string line =
      u"\"" + host.appPath + u"\" -clnx \"" + host.workbookFile + u"\" -clnd \"" + host.moduleFile + u"\"";
  hostEffects().startProcess(host.appPath.c_str(), line.c_str());
}

void applyWorkbookPassword(RuntimeHost& host) {
  if (!host.settings.has(SettingsFlag::restrictedWorkbook) || host.workbook.isEmpty()) return;
  WorkbookWrapper active = host.application.activeWorkbook();
  if (active.get() != host.workbook.get()) return;
  host.workbook.putPassword(systemCodePageToUtf16(host.settings.workbookPassword));
}

} // namespace cwbk
