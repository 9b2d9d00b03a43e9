// module.hpp: what the module's own source files share with one another beyond capi.hpp. Internal:
// another extension reaches these through the capsule of tl.hpp.
#pragma once

#include "tl.hpp"

// The default tables of operations (compiler.cpp, parser.cpp).
extern "C" const TLSchemaCompilerOps TLSchemaCompiler_default_ops;
extern "C" const TLParserOps TLParser_default_ops;
