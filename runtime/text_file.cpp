#include "runtime/text_file.h"

#include "runtime/fatal_error.h"

namespace {

constexpr uint16_t kOpenFailed = 1;
const char kDiskFull[] = "Disk Full";

// Hands the buffered bytes to the system; a refused or short write loses them
// and sets the failure mark.
void Flush(AppendTextFile& file) {
  DWORD written = 0;
  if (WriteFile(file.handle, file.buffer, file.count, &written, nullptr) == FALSE || written != file.count) {
    file.failed = true;
  }
  file.count = 0;
}

// A write that failed since the last check ends the process with the "Disk
// Full" report, at address in the caller of EndLine or Close.
void CheckWrites(const AppendTextFile& file, CodeAddress address, const void* frame) {
  if (file.failed) ReportFatalError(kDiskFull, sizeof kDiskFull - 1, address, frame);
}

}  // namespace

uint16_t AppendTextFile::Open(const ShortText& fileName) {
  name = fileName;
  for (unsigned i = 0; i < name.length; ++i) {
    if (name.chars[i] == '/') name.chars[i] = '\\';
  }
  HANDLE file = CreateFileA(name.chars, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE || file == nullptr) return kOpenFailed;
  if (SetFilePointer(file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER) {
    CloseHandle(file);
    return kOpenFailed;
  }
  handle = file;
  count = 0;
  failed = false;
  open = true;
  return 0;
}

void AppendTextFile::Write(const char* chars, unsigned length) {
  if (!open || failed) return;
  // The buffer goes to the file only when the next byte no longer fits.
  for (; length > 0; --length) {
    if (count == kTextFileBuffer) Flush(*this);
    buffer[count++] = *chars++;
  }
}

void AppendTextFile::EndLine() {
  if (!open) return;
  Write("\r\n", 2);
  CheckWrites(*this, CallerAddress(), CallerFrame());
}

void AppendTextFile::Close() {
  if (!open) return;
  Flush(*this);
  CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
  open = false;
  CheckWrites(*this, CallerAddress(), CallerFrame());
}
