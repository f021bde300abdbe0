#include "storage/key_location.h"

#include "platform/ui/ui.h"
#include "storage/hex_text.h"
#include "storage/key_file.h"

namespace vq {

int ChangeKeyLocation(const std::function<int(const std::string& path)>& store,
                      std::string& pathHex) {
    ui::FileRequest request;
    request.flags = ui::kOfnNoValidate;
    std::string path;
    const int answer = ChooseFile(request, path);
    if (answer == ui::kIdCancel) return code::kCancelled;
    if (answer != ui::kIdOk || path.empty()) return code::kInvalidArgument;
    if (store(path) != 0) return code::kInvalidArgument;
    pathHex = HexEncode(path);
    return code::kOk;
}

}  // namespace vq
