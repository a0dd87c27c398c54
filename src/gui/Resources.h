#pragma once

namespace vorn {

// Registers the icons compiled into the program. The desktop library is static, so the
// resource's own start-up registration may be dropped by the linker; call this before using
// ":/icons/...". Idempotent.
void EnsureResources();

} // namespace vorn
