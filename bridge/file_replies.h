#pragma once
// The replies that can be hundreds of megabytes: a file's content and a
// folder's names. Each is written straight into the BSTR the control takes,
// counted first so that the BSTR has its exact length and nothing else of
// that size ever exists.

#include "base/handles.h"
#include "desktop/files.h"

#include <cstdint>
#include <string>

// The longest reply a BSTR holds. A text whose reply would be longer is
// refused whole, never cut.
bool fitsInReply(uint64_t units) noexcept;

// getFileContent's reply for `file`: "<string>" its text escaped "</string>",
// the text up to its first NUL. Empty when the reply would not fit in a BSTR,
// the memory for it is not there, or the file changed while it was read, and
// again while it was read once more.
UniqueBstr fileContentReply(TextFile& file);

// findFiles' reply for `names`, packed as findFileNames gives them. Throws
// std::bad_alloc when the reply cannot be made.
UniqueBstr fileListReply(const std::u16string& names);
