#include "update/Verify.h"

#include <vector>

#include "update/RecordLine.h"
#include "update/SignedInstall.h"
#include "update/Texts.h"

namespace quennel {

Verdict VerifyVersion(Platform platform, const std::string& path) {
  try {
    const std::optional<NewSignature> fresh = ReadNewSignature(platform, path, platform.process.Clock());
    if (!fresh) return {false, texts::kVerifyNoList};
    const Signed& signature = fresh->signature;
    const std::unique_ptr<Source> source = platform.files.OpenSource(path);
    const std::unique_ptr<ContentCheck> check = BytesCheck(signature);
    std::vector<unsigned char> buffer(1u << 20);
    for (std::size_t n; (n = source->Read(buffer.data(), buffer.size())) > 0;) check->Add(buffer.data(), n);
    check->Finish();
    return {true, texts::kVerifyAccepted + signature.KeyId() + texts::kVerifySignedOn +
                      DateText({*signature.timestamp}) + texts::kVerifyFile + *signature.fileName + ".\n" +
                      texts::kVerifyNoOrder};
  } catch (const std::exception& refusal) {
    return {false, refusal.what()};
  }
}

}  // namespace quennel
