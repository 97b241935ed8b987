#include "tests/tool/test_support.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/win32/wine_host.h"
#include "tests/tool/win32/win32_support.h"

namespace test_support {

namespace {

using WINE_UNIX_NAME = char *(CDECL *)(const wchar_t *);

// Wine's own export that maps a Windows path to the host's; absent on Windows.
WINE_UNIX_NAME WineUnixName() {
  const HMODULE Kernel = GetModuleHandleW(L"kernel32.dll");
  return Kernel == nullptr ? nullptr
                           : reinterpret_cast<WINE_UNIX_NAME>(
                                 reinterpret_cast<void *>(GetProcAddress(Kernel, "wine_get_unix_file_name")));
}

// Quotes one argument so that the C runtime's command-line parser gives it back unchanged.
void AppendQuoted(std::wstring &Line, const std::wstring &Argument) {
  Line += L'"';
  size_t Backslashes = 0;
  for (const wchar_t Character : Argument) {
    if (Character == L'\\') {
      ++Backslashes;
      continue;
    }
    Line.append(Character == L'"' ? 2 * Backslashes + 1 : Backslashes, L'\\');
    Backslashes = 0;
    Line += Character;
  }
  Line.append(2 * Backslashes, L'\\');
  Line += L'"';
}

std::wstring ProgramPath(const char *Program) {
  // The build hands over the host's path; Wine shows the host's root as Z:.
  std::wstring Path = fs::path(Program).wstring();
  if (!Path.empty() && (Path[0] == L'/' || Path[0] == L'\\'))
    Path = L"Z:" + Path;
  for (wchar_t &Character : Path)
    if (Character == L'/')
      Character = L'\\';
  return Path;
}

std::string ReadPipe(HANDLE Pipe) {
  std::string Text;
  char Chunk[65536];
  DWORD Got = 0;
  while (ReadFile(Pipe, Chunk, sizeof Chunk, &Got, nullptr) && Got > 0)
    Text.append(Chunk, Got);
  return Text;
}

bool RunHostCommand(const std::wstring &CommandLine) {
  STARTUPINFOW Startup{};
  Startup.cb = sizeof Startup;
  PROCESS_INFORMATION Process{};
  std::wstring Line = CommandLine;
  if (!CreateProcessW(nullptr, Line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &Startup, &Process))
    return false;
  CloseHandle(Process.hThread);
  CloseHandle(Process.hProcess);
  return true;
}

std::wstring WideHostPath(const fs::path &Path) {
  // The host's names are UTF-8; a command line handed to the host is turned
  // back into them.
  const std::string Narrow = HostPath(Path);
  if (Narrow.empty())
    return {};
  const int Length = MultiByteToWideChar(CP_UTF8, 0, Narrow.data(), static_cast<int>(Narrow.size()), nullptr, 0);
  std::wstring Wide(static_cast<size_t>(Length > 0 ? Length : 0), L'\0');
  if (Length <= 0 || MultiByteToWideChar(CP_UTF8, 0, Narrow.data(), static_cast<int>(Narrow.size()), Wide.data(), Length) != Length)
    return {};
  return Wide;
}

// Linux x86-64 system calls, made directly as Wine lets a program do.
constexpr long long SystemCallOpenAt = 257, SystemCallMakeDirectoryAt = 258, SystemCallStatAt = 262,
                    SystemCallChangeModeAt = 268, SystemCallClose = 3;
constexpr long long AtCurrentDirectory = -100, AtSymbolicLinkNoFollow = 0x100;
constexpr long long OpenDirectory = 0200000, OpenCreateWriteOnly = 0100 | 01, OpenCloseOnExec = 02000000;

using platform::wine_host::HostCall;

long long Address(const void *Pointer) { return reinterpret_cast<long long>(Pointer); }

// The kernel's struct stat on x86-64: st_mode sits at byte 24.
struct HOST_STATUS {
  unsigned char Bytes[144];
  uint32_t Mode() const {
    uint32_t Value;
    std::memcpy(&Value, Bytes + 24, sizeof Value);
    return Value;
  }
};

// Runs Action on a descriptor of the host directory Directory.
template <typename ACTION> bool InHostDirectory(const std::string &Directory, ACTION Action) {
  if (!RunsUnderWine())
    return false;
  const long long Descriptor =
      HostCall(SystemCallOpenAt, AtCurrentDirectory, Address(Directory.c_str()), OpenDirectory | OpenCloseOnExec);
  if (Descriptor < 0)
    return false;
  const bool Done = Action(Descriptor);
  HostCall(SystemCallClose, Descriptor);
  return Done;
}

}  // namespace

std::string HostPath(const fs::path &Path) {
  const WINE_UNIX_NAME Convert = WineUnixName();
  char *const Host = Convert == nullptr ? nullptr : Convert(fs::absolute(Path).c_str());
  if (Host == nullptr)
    return {};
  const std::string Narrow = Host;
  HeapFree(GetProcessHeap(), 0, Host);
  return Narrow;
}

bool MakeHostFile(const std::string &Directory, const std::string &Name) {
  return InHostDirectory(Directory, [&](long long Descriptor) {
    const long long File =
        HostCall(SystemCallOpenAt, Descriptor, Address(Name.c_str()), OpenCreateWriteOnly | OpenCloseOnExec, 0644);
    return File >= 0 && HostCall(SystemCallClose, File) == 0;
  });
}

bool MakeHostDirectory(const std::string &Directory, const std::string &Name) {
  return InHostDirectory(Directory, [&](long long Descriptor) {
    return HostCall(SystemCallMakeDirectoryAt, Descriptor, Address(Name.c_str()), 0755) == 0;
  });
}

bool HostEntryExists(const std::string &Directory, const std::string &Name) {
  return InHostDirectory(Directory, [&](long long Descriptor) {
    HOST_STATUS Status;
    return HostCall(SystemCallStatAt, Descriptor, Address(Name.c_str()), Address(&Status), AtSymbolicLinkNoFollow) == 0;
  });
}

bool ListsDanglingLinks() { return !RunsUnderWine(); }

std::string EntryMode(const fs::path &Path) {
  char Text[32];
  if (RunsUnderWine()) {
    const std::string Host = HostPath(Path);
    HOST_STATUS Status;
    if (Host.empty() ||
        HostCall(SystemCallStatAt, AtCurrentDirectory, Address(Host.c_str()), Address(&Status), AtSymbolicLinkNoFollow) != 0)
      return "gone";
    std::snprintf(Text, sizeof Text, "%o", static_cast<unsigned>(Status.Mode()));
    return Text;
  }
  const DWORD Attributes = GetFileAttributesW(LongForm(Path).c_str());
  if (Attributes == INVALID_FILE_ATTRIBUTES)
    return "gone";
  std::snprintf(Text, sizeof Text, "attributes %lx", static_cast<unsigned long>(Attributes));
  return Text;
}

bool MakeReadOnlyDirectory(const fs::path &Path) {
  if (!CreateDirectoryW(LongForm(Path).c_str(), nullptr))
    return false;
  if (!RunsUnderWine())
    return SetFileAttributesW(LongForm(Path).c_str(), FILE_ATTRIBUTE_READONLY) != FALSE;
  // Wine keeps a directory's read-only attribute apart from its mode; the
  // host's mode is what a link's target must keep.
  const std::string Host = HostPath(Path);
  return !Host.empty() && HostCall(SystemCallChangeModeAt, AtCurrentDirectory, Address(Host.c_str()), 0555) == 0;
}

SCRATCH_DIRECTORY::SCRATCH_DIRECTORY() : SCRATCH_DIRECTORY(fs::temp_directory_path()) {}

SCRATCH_DIRECTORY::SCRATCH_DIRECTORY(const fs::path &Base) {
  for (unsigned Attempt = 0; Attempt < 100 && Root.empty(); ++Attempt) {
    const fs::path Candidate =
        Base / (L"krax-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount() + Attempt));
    if (CreateDirectoryW(Candidate.c_str(), nullptr))
      Root = Candidate.lexically_normal();
  }
}

SCRATCH_DIRECTORY::~SCRATCH_DIRECTORY() {
  if (!Root.empty())
    RemoveTree(Root);
}

void RemoveTree(const fs::path &Path) {
  if (RunsUnderWine()) {
    // Wine can neither remove its Unix links nor be trusted not to follow
    // them: let the host remove the tree, then wait until it is gone. Wine
    // cannot wait for the host's process, so none is started for nothing: it
    // could run late, and remove what is made there next.
    if (EntryMode(Path) == "gone")
      return;
    const std::wstring Host = WideHostPath(Path);
    std::wstring Line = L"/bin/rm -rf ";
    AppendQuoted(Line, Host);
    if (!Host.empty() && RunHostCommand(Line))
      for (int Tries = 0; Tries < 1000 && EntryMode(Path) != "gone"; ++Tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return;
  }
  std::error_code Ignored;
  fs::remove_all(LongForm(Path), Ignored);
}

namespace {

RUN_RESULT RunProgram(const char *Program, const std::vector<PATH_STRING> &Arguments, const fs::path &WorkingDirectory) {
  RUN_RESULT Result;
  SECURITY_ATTRIBUTES Inherit{sizeof Inherit, nullptr, TRUE};
  HANDLE OutputRead, OutputWrite, ErrorRead, ErrorWrite;
  if (!CreatePipe(&OutputRead, &OutputWrite, &Inherit, 0) || !CreatePipe(&ErrorRead, &ErrorWrite, &Inherit, 0))
    return Result;
  SetHandleInformation(OutputRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(ErrorRead, HANDLE_FLAG_INHERIT, 0);
  std::wstring Line;
  AppendQuoted(Line, ProgramPath(Program));
  for (const PATH_STRING &Argument : Arguments) {
    Line += L' ';
    AppendQuoted(Line, Argument);
  }
  STARTUPINFOW Startup{};
  Startup.cb = sizeof Startup;
  Startup.dwFlags = STARTF_USESTDHANDLES;
  Startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  Startup.hStdOutput = OutputWrite;
  Startup.hStdError = ErrorWrite;
  PROCESS_INFORMATION Process{};
  const BOOL Started = CreateProcessW(nullptr, Line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      WorkingDirectory.c_str(), &Startup, &Process);
  CloseHandle(OutputWrite);
  CloseHandle(ErrorWrite);
  if (Started) {
    // Nothing is expected on standard error, so reading it second cannot stall the child.
    Result.Output = ReadPipe(OutputRead);
    Result.Errors = ReadPipe(ErrorRead);
    WaitForSingleObject(Process.hProcess, INFINITE);
    DWORD ExitCode = 0;
    GetExitCodeProcess(Process.hProcess, &ExitCode);
    Result.ExitStatus = static_cast<int>(ExitCode);
    CloseHandle(Process.hThread);
    CloseHandle(Process.hProcess);
  }
  CloseHandle(OutputRead);
  CloseHandle(ErrorRead);
  return Result;
}

}  // namespace

RUN_RESULT RunKrax(const std::vector<PATH_STRING> &Arguments, const fs::path &WorkingDirectory) {
  return RunProgram(KRAX_PROGRAM, Arguments, WorkingDirectory);
}

RUN_RESULT RunKraxWorkers(int Workers, const std::vector<PATH_STRING> &Arguments, const fs::path &WorkingDirectory) {
  std::vector<PATH_STRING> WithCount = {std::to_wstring(Workers)};
  WithCount.insert(WithCount.end(), Arguments.begin(), Arguments.end());
  return RunProgram(KRAX_WORKERS_PROGRAM, WithCount, WorkingDirectory);
}

fs::path LongForm(const fs::path &Path) { return fs::path(L"\\\\?\\" + fs::absolute(Path).lexically_normal().wstring()); }

std::string Shown(const fs::path &Path) {
  const std::wstring Wide = Path.lexically_normal().wstring();
  return std::string(Wide.begin(), Wide.end());  // ASCII paths only
}

std::string NativeLines(const std::string &Text) {
  std::string Lines;
  for (const char Character : Text) {
    if (Character == '\n')
      Lines += '\r';
    Lines += Character;
  }
  return Lines;
}

bool MakeSparseFile(const fs::path &Path, uint64_t Bytes) {
  const HANDLE File = CreateFileW(LongForm(Path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE)
    return false;
  DWORD Ignored = 0;
  DeviceIoControl(File, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &Ignored, nullptr);
  LARGE_INTEGER End;
  End.QuadPart = static_cast<LONGLONG>(Bytes);
  const bool Sized = SetFilePointerEx(File, End, nullptr, FILE_BEGIN) && SetEndOfFile(File);
  CloseHandle(File);
  return Sized;
}

bool RunsUnderWine() { return WineUnixName() != nullptr; }

bool MakeSymbolicLink(const fs::path &Target, const fs::path &Link) {
  if (!RunsUnderWine()) {
    const DWORD Flags = (fs::is_directory(Target) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2 /* unprivileged */;
    return CreateSymbolicLinkW(Link.c_str(), Target.c_str(), Flags) != FALSE;
  }
  // Wine cannot make reparse points; a Unix link is what it shows as one.
  const std::wstring HostTarget = Target.is_absolute() ? WideHostPath(Target) : Target.generic_wstring();
  const std::wstring HostLink = WideHostPath(Link);
  if (HostTarget.empty() || HostLink.empty())
    return false;
  std::wstring Line = L"/bin/ln -s ";
  AppendQuoted(Line, HostTarget);
  Line += L' ';
  AppendQuoted(Line, HostLink);
  if (!RunHostCommand(Line))
    return false;
  // Wine cannot wait for a host process: watch for the link instead, as the
  // host sees it (Wine does not list a link to nothing).
  for (int Tries = 0; Tries < 500; ++Tries) {
    if (EntryMode(Link) != "gone")
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace test_support
