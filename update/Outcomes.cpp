#include "update/Outcomes.h"

#include "update/RecordLine.h"
#include "update/Texts.h"

namespace quennel {

std::string NotYetDueText(const char* what, const FileStamp& time, const FileStamp& clock) {
  return what + DateText(time) + texts::kDatedAheadOf + DateText(clock) + texts::kDatedAheadEnd;
}

}  // namespace quennel
