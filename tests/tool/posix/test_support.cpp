#include "tests/tool/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "tests/tool/posix/posix_support.h"

namespace test_support {

namespace {

// Removes everything below Directory relative to descriptors, so that trees
// deeper than any path the system call interface accepts go as well.
void RemoveBelow(int Directory) {
  DIR *Stream = fdopendir(dup(Directory));
  if (Stream == nullptr)
    return;
  while (const dirent *Entry = readdir(Stream)) {
    if (std::strcmp(Entry->d_name, ".") == 0 || std::strcmp(Entry->d_name, "..") == 0)
      continue;
    if (unlinkat(Directory, Entry->d_name, 0) == 0)
      continue;
    fchmodat(Directory, Entry->d_name, 0700, 0);
    const int Child = openat(Directory, Entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (Child >= 0) {
      RemoveBelow(Child);
      close(Child);
    }
    unlinkat(Directory, Entry->d_name, AT_REMOVEDIR);
  }
  closedir(Stream);
}

void ReadAll(int OutputPipe, int ErrorPipe, RUN_RESULT &Result) {
  pollfd Pipes[2] = {{OutputPipe, POLLIN, 0}, {ErrorPipe, POLLIN, 0}};
  std::string *Sinks[2] = {&Result.Output, &Result.Errors};
  int Open = (OutputPipe >= 0) + (ErrorPipe >= 0);
  char Chunk[65536];
  while (Open > 0) {
    if (poll(Pipes, 2, -1) < 0)
      break;
    for (int Index = 0; Index < 2; ++Index) {
      if (Pipes[Index].fd < 0 || Pipes[Index].revents == 0)
        continue;
      const ssize_t Got = read(Pipes[Index].fd, Chunk, sizeof Chunk);
      if (Got > 0) {
        Sinks[Index]->append(Chunk, static_cast<size_t>(Got));
      } else {
        close(Pipes[Index].fd);
        Pipes[Index].fd = -1;
        --Open;
      }
    }
  }
}

}  // namespace

SCRATCH_DIRECTORY::SCRATCH_DIRECTORY() : SCRATCH_DIRECTORY(fs::temp_directory_path()) {}

SCRATCH_DIRECTORY::SCRATCH_DIRECTORY(const fs::path &Base) {
  std::string Template = (Base / "krax-test-XXXXXX").string();
  if (mkdtemp(Template.data()) != nullptr)
    Root = Template;
}

SCRATCH_DIRECTORY::~SCRATCH_DIRECTORY() {
  if (!Root.empty())
    RemoveTree(Root);
}

RUN_RESULT RunKraxWith(const std::vector<PATH_STRING> &Arguments, const fs::path &WorkingDirectory,
                       const CHILD_SETTINGS &Settings) {
  RUN_RESULT Result;
  std::string Program = !Settings.Program.empty() ? Settings.Program.string()
                        : Settings.Workers > 0   ? std::string(KRAX_WORKERS_PROGRAM)
                                                 : std::string(KRAX_PROGRAM);
  // Opened while still root: the unprivileged user may not be able to search
  // the folders that hold the program (a clone in a 0700 home), but it may
  // run what it is handed as a descriptor.
  const int ProgramFile = open(Program.c_str(), O_RDONLY | O_CLOEXEC);
  if (ProgramFile < 0)
    return Result;
  int Output[2], Errors[2];
  if (pipe2(Output, O_CLOEXEC) != 0 || pipe2(Errors, O_CLOEXEC) != 0) {
    close(ProgramFile);
    return Result;
  }
  std::vector<char *> Argv;
  Argv.push_back(Program.data());
  std::string Workers = std::to_string(Settings.Workers);
  if (Settings.Workers > 0)
    Argv.push_back(Workers.data());
  std::vector<std::string> Copies(Arguments.begin(), Arguments.end());
  for (std::string &Copy : Copies)
    Argv.push_back(Copy.data());
  Argv.push_back(nullptr);
  if (Settings.OutputUnread) {
    close(Output[0]);
    Output[0] = -1;
  }
  // LeakSanitizer checks at exit from a thread of its own, which a process cap
  // refuses; the sanitizer builds leave that check out of such a child.
  std::string LeakOptions;
  if (Settings.ProcessLimit > 0) {
    const char *const Given = std::getenv("ASAN_OPTIONS");
    LeakOptions = std::string(Given != nullptr ? Given : "") + ":detect_leaks=0";
  }
  const pid_t Child = fork();
  if (Child == 0) {
    dup2(Output[1], 1);
    dup2(Errors[1], 2);
    const int Directory = OpenAnyLength(WorkingDirectory.string(), O_RDONLY | O_DIRECTORY);
    if (Directory < 0 || fchdir(Directory) != 0)
      _exit(120);
    close(Directory);
    if (Settings.StackLimit > 0) {
      rlimit Limit;
      getrlimit(RLIMIT_STACK, &Limit);
      Limit.rlim_cur = static_cast<rlim_t>(Settings.StackLimit);
      if (setrlimit(RLIMIT_STACK, &Limit) != 0)
        _exit(124);
    }
    if (Settings.DescriptorLimit > 0) {
      const rlimit Limit{static_cast<rlim_t>(Settings.DescriptorLimit), static_cast<rlim_t>(Settings.DescriptorLimit)};
      if (setrlimit(RLIMIT_NOFILE, &Limit) != 0)
        _exit(121);
    }
    if (Settings.Unprivileged && (setgroups(0, nullptr) != 0 || setgid(UnprivilegedId) != 0 || setuid(UnprivilegedId) != 0))
      _exit(122);
    if (Settings.ProcessLimit > 0) {
      // Lowered only now: had it bound when the user changed, exec would fail.
      const rlimit Limit{static_cast<rlim_t>(Settings.ProcessLimit), static_cast<rlim_t>(Settings.ProcessLimit)};
      if (setrlimit(RLIMIT_NPROC, &Limit) != 0 || setenv("ASAN_OPTIONS", LeakOptions.c_str(), 1) != 0)
        _exit(125);
    }
    fexecve(ProgramFile, Argv.data(), environ);
    _exit(123);
  }
  close(ProgramFile);
  close(Output[1]);
  close(Errors[1]);
  ReadAll(Output[0], Errors[0], Result);
  int Status = 0;
  if (Child > 0 && waitpid(Child, &Status, 0) == Child)
    Result.ExitStatus = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  return Result;
}

RUN_RESULT RunKrax(const std::vector<PATH_STRING> &Arguments, const fs::path &WorkingDirectory) {
  return RunKraxWith(Arguments, WorkingDirectory, CHILD_SETTINGS{});
}

RUN_RESULT RunKraxWorkers(int Workers, const std::vector<PATH_STRING> &Arguments, const fs::path &WorkingDirectory) {
  CHILD_SETTINGS Settings;
  Settings.Workers = Workers;
  return RunKraxWith(Arguments, WorkingDirectory, Settings);
}

void RemoveTree(const fs::path &Path) {
  struct stat Status;
  if (lstat(Path.c_str(), &Status) != 0)
    return;
  if (!S_ISDIR(Status.st_mode)) {
    unlink(Path.c_str());
    return;
  }
  chmod(Path.c_str(), 0700);
  const int Directory = open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (Directory >= 0) {
    RemoveBelow(Directory);
    close(Directory);
  }
  rmdir(Path.c_str());
}

fs::path LongForm(const fs::path &Path) { return Path; }

std::string Shown(const fs::path &Path) { return Path.string(); }

std::string NativeLines(const std::string &Text) { return Text; }

bool MakeSparseFile(const fs::path &Path, uint64_t Bytes) {
  const int File = open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (File < 0)
    return false;
  const bool Sized = ftruncate(File, static_cast<off_t>(Bytes)) == 0;
  close(File);
  return Sized;
}

bool MakeSymbolicLink(const fs::path &Target, const fs::path &Link) {
  return symlink(Target.c_str(), Link.c_str()) == 0;
}

bool RunsUnderWine() { return false; }

bool ListsDanglingLinks() { return true; }

bool MakeReadOnlyDirectory(const fs::path &Path) { return mkdir(Path.c_str(), 0755) == 0 && chmod(Path.c_str(), 0555) == 0; }

std::string EntryMode(const fs::path &Path) {
  struct stat Status;
  if (lstat(Path.c_str(), &Status) != 0)
    return "gone";
  char Text[16];
  std::snprintf(Text, sizeof Text, "%o", static_cast<unsigned>(Status.st_mode));
  return Text;
}

int OpenAnyLength(const std::string &Path, int Flags) {
  if (Path.empty() || Path[0] != '/')
    return open(Path.c_str(), Flags | O_CLOEXEC);
  int Directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  size_t Start = 1;
  while (Directory >= 0 && Start < Path.size()) {
    const size_t End = std::min(Path.find('/', Start), Path.size());
    const std::string Component = Path.substr(Start, End - Start);
    Start = End + 1;
    if (Component.empty())
      continue;
    const int Next = openat(Directory, Component.c_str(), (Start > Path.size() ? Flags : O_RDONLY | O_DIRECTORY) | O_CLOEXEC);
    close(Directory);
    Directory = Next;
  }
  return Directory;
}

bool ExistsAnyLength(const std::string &Path) {
  const size_t Slash = Path.rfind('/');
  const int Directory = OpenAnyLength(Slash == 0 ? "/" : Path.substr(0, Slash), O_RDONLY | O_DIRECTORY);
  if (Directory < 0)
    return false;
  struct stat Status;
  const bool Found = fstatat(Directory, Path.c_str() + Slash + 1, &Status, AT_SYMLINK_NOFOLLOW) == 0;
  close(Directory);
  return Found;
}

void GiveAway(const fs::path &Path) {
  ASSERT_EQ(lchown(Path.c_str(), UnprivilegedId, UnprivilegedId), 0) << std::strerror(errno);
  for (const fs::directory_entry &Entry : fs::recursive_directory_iterator(Path))
    ASSERT_EQ(lchown(Entry.path().c_str(), UnprivilegedId, UnprivilegedId), 0);
}

bool ThreadsCanBeCappedAway() {
  const pid_t Child = fork();
  if (Child == 0) {
    const rlimit Limit{1, 1};
    if (setgroups(0, nullptr) != 0 || setgid(UnprivilegedId) != 0 || setuid(UnprivilegedId) != 0 ||
        setrlimit(RLIMIT_NPROC, &Limit) != 0)
      _exit(2);
    pthread_t Thread;
    _exit(pthread_create(&Thread, nullptr, [](void *) -> void * { return nullptr; }, nullptr) == 0 ? 1 : 0);
  }
  int Status = -1;
  return Child > 0 && waitpid(Child, &Status, 0) == Child && WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
}

namespace {

void DescribeBelow(int Directory, const std::string &Prefix, std::set<std::string> &Lines) {
  DIR *Stream = fdopendir(dup(Directory));
  if (Stream == nullptr)
    return;
  while (const dirent *Entry = readdir(Stream)) {
    if (std::strcmp(Entry->d_name, ".") == 0 || std::strcmp(Entry->d_name, "..") == 0)
      continue;
    const std::string Name = Prefix + Entry->d_name;
    struct stat Status;
    if (fstatat(Directory, Entry->d_name, &Status, AT_SYMLINK_NOFOLLOW) != 0) {
      Lines.insert(Name + " vanished");
      continue;
    }
    char Mode[16];
    std::snprintf(Mode, sizeof Mode, "%o", static_cast<unsigned>(Status.st_mode));
    Lines.insert(Name + " " + Mode + (S_ISREG(Status.st_mode) ? " " + std::to_string(Status.st_size) : ""));
    if (!S_ISDIR(Status.st_mode))
      continue;
    const int Child = openat(Directory, Entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (Child < 0) {
      Lines.insert(Name + " unreadable");
      continue;
    }
    DescribeBelow(Child, Name + "/", Lines);
    close(Child);
  }
  closedir(Stream);
}

}  // namespace

std::string DescribeAnyLength(const fs::path &Root) {
  std::set<std::string> Lines;
  const int Directory = open(Root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (Directory < 0)
    return "gone\n";
  DescribeBelow(Directory, "", Lines);
  close(Directory);
  std::string Text;
  for (const std::string &Line : Lines)
    Text += Line + "\n";
  return Text;
}

}  // namespace test_support
