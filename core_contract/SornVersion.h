#pragma once

namespace sorn {

// The core's version: what Versioning::GetVersion() reports, and the one
// version a module built against these headers accepts at start-up. The
// build takes the project version from this line.
inline constexpr char kVersion[] = "2.0.455.1";

}  // namespace sorn
