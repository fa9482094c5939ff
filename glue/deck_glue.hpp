// The glue compiled into each extension module (header-only, so the modules
// share nothing at run time): see docs/architecture.md.
#pragma once

#include "deck_ref.hpp"      // owned references, checked calls, errors at the boundary
#include "deck_call.hpp"     // calling
#include "deck_bind.hpp"     // argument binding
#include "deck_import.hpp"   // module-body imports
#include "deck_module.hpp"   // module state, classes and their method descriptors
#include "deck_native.hpp"   // the native callable type

// What module code uses unqualified: `using namespace deck::prelude;`.
namespace deck::prelude {
using deck::attr;
using deck::call;
using deck::call_kw;
using deck::call_method;
using deck::call_method_kw;
using deck::global;
using deck::none;
using deck::ok;
using deck::Ref;
using deck::set_attr;
using deck::Sig;
using deck::truthy;
using deck::unpack2;
}  // namespace deck::prelude
