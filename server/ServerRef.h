// TServerRef: how everything outside a virtual server holds one. The
// server list hands these out, the administration's door (server/ServerAccess.h)
// takes one, and the query keeps its selection in one. Outside server/ the
// object stays opaque: only server/ServerObject.h defines it, and only
// server/ and the tests, tools and benchmarks include that.
//
// Lifetime: a reference keeps the object valid after its server stopped and
// left the list (its door then answers "not running").
#pragma once

#include <memory>

class TServerObject;
using TServerRef = std::shared_ptr<TServerObject>;
