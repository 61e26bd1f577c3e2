#pragma once
// Builds a style file from a readable JSON description: channel set-up,
// channel tables per part group, drum grids and pitched lines per part.
// demo/style-sources/ holds the descriptions of the demo styles; the format is
// described there in README.md.
#include "StyleWriter.h"

#include <string>
#include <string_view>

namespace stylewriter {

// The style file of a description; false with `why` set to one line naming
// where in the description the fault lies and what it is.
bool buildStyleFromDescription(std::string_view json, Bytes& out, std::string& why);

} // namespace stylewriter
