// Catalogue selection shared by the status functions and the tools.
#pragma once

namespace ztbase {

// The catalogue row of a status, or null when no range holds the code or the
// row is empty.
const char *catalogue_text(int code);

} // namespace ztbase
