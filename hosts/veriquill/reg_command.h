// `veriquill reg`: set, read, delete, import and export registry values for administrators.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace vq::host {

// args are the words after "reg". Returns the process exit status.
int RegCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vq::host
