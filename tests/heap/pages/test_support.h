// Shared by the page, lookup and bucket tests: a back end that can refuse
// memory, hand out misaligned areas or report another granule, and that keeps
// count of what is still out; a check for the failure messages; and a trace
// file of the tests' own that is removed when the tests end.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "heap/pages/duzovev_back_end.h"
#include "heap/support/software_failure.h"

// True while any page of the range is mapped in this process.
bool AreaStillMapped(const void *Start, size_t Length);

// Runs Call and expects it to raise exactly Message.
template <typename CALL>
::testing::AssertionResult RaisesFailure(CALL Call, const char *Message) {
  try {
    Call();
  } catch (unsigned char *Raised) {
    const char *Text = reinterpret_cast<const char *>(Raised);
    if (std::strcmp(Text, Message) == 0)
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "raised \"" << Text << "\" instead of \"" << Message << "\"";
  }
  return ::testing::AssertionFailure() << "raised nothing, expected \"" << Message << "\"";
}

class TEST_BACK_END : public DUZOVEV_BACK_END {
 public:
  // Areas granted before every further request is refused; -1 never refuses.
  int32_t GrantsLeft = -1;
  // Added to every area handed out, so that its start misses the alignment.
  int32_t Misalignment = 0;
  // Reported instead of the platform's granule when positive.
  int32_t GranuleOverride = 0;

  void DeleteArea(void *Address, int32_t Size, bool UserSpace) override {
    char *Real = static_cast<char *>(Address) - RecordedShift(Address);
    DUZOVEV_BACK_END::DeleteArea(Real, Size, UserSpace);
    std::lock_guard<std::mutex> Guard(Mutex);
    Outstanding.erase(Address);
  }
  int32_t AreaGranule() override {
    return GranuleOverride > 0 ? GranuleOverride : DUZOVEV_BACK_END::AreaGranule();
  }
  void *NewArea(int32_t AlignMask, int32_t Size, bool UserSpace) override {
    {
      std::lock_guard<std::mutex> Guard(Mutex);
      if (GrantsLeft == 0)
        return nullptr;
      if (GrantsLeft > 0)
        --GrantsLeft;
    }
    char *Area = static_cast<char *>(DUZOVEV_BACK_END::NewArea(AlignMask, Size, UserSpace));
    if (Area == nullptr)
      return nullptr;
    Area += Misalignment;
    std::lock_guard<std::mutex> Guard(Mutex);
    Outstanding[Area] = AREA{Size, Misalignment, UserSpace};
    ++Granted;
    return Area;
  }

  int32_t OutstandingAreas() {
    std::lock_guard<std::mutex> Guard(Mutex);
    return static_cast<int32_t>(Outstanding.size());
  }
  int32_t OutstandingUserAreas() {
    std::lock_guard<std::mutex> Guard(Mutex);
    int32_t Count = 0;
    for (const auto &Entry : Outstanding)
      Count += Entry.second.UserSpace ? 1 : 0;
    return Count;
  }
  int32_t GrantedAreas() {
    std::lock_guard<std::mutex> Guard(Mutex);
    return Granted;
  }
  bool IsOutstanding(const void *Address) {
    std::lock_guard<std::mutex> Guard(Mutex);
    return Outstanding.count(Address) != 0;
  }

 private:
  struct AREA {
    int32_t Size;
    int32_t Shift;
    bool UserSpace;
  };
  int32_t RecordedShift(const void *Address) {
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Found = Outstanding.find(Address);
    return Found == Outstanding.end() ? 0 : Found->second.Shift;
  }
  std::mutex Mutex;
  std::map<const void *, AREA> Outstanding;
  int32_t Granted = 0;
};

// Points the debug trace at a file of this test program and removes it at the
// end, wherever the platform put it.
class TRACE_FILE_ENVIRONMENT : public ::testing::Environment {
 public:
  explicit TRACE_FILE_ENVIRONMENT(const char *Suffix) : Suffix(Suffix) {}
  void SetUp() override { SetDebugTraceNameSuffix(Suffix); }
  void TearDown() override {
    SetDebugTraceNameSuffix(ClosedSuffix);  // closes the file
    const std::string Name = std::string("DebugTrace") + Suffix + ".log";
    for (const char *Folder : {"/tmp/", "/var/tmp/", "C:\\Temp\\", "C:\\"})
      std::remove((std::string(Folder) + Name).c_str());
  }

 private:
  static constexpr const char *ClosedSuffix = "_closed_by_tests";
  const char *Suffix;
};
