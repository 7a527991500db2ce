// The call-binding layer, through which every entry from the interpreter
// reaches a method body. One concept per file under binding/:
//   ref.hpp          Ref (owning, move-only) and TextView
//   error.hpp        Error and Outcome; fetch, restore, the internal-failure type
//   messages.hpp     every message the layer builds
//   text_buffer.hpp  a PyMem-backed text builder
//   shared_count.hpp a reference count for native blocks (atomic when free-threaded)
//   strings.hpp      interned str kept per interpreter
//   signature.hpp    binding descriptions and argument binding
//   convert.hpp      typed arguments (Optional, Text, OptionalText, Dict)
//   block_stack.hpp  bounded stacks of released blocks (free lists, text cache)
//   interpreter.hpp  the state each interpreter keeps, and how it is found
//   instance.hpp     instance layout and instance checks
//   access.hpp       shared access to a record
//   state.hpp        every global, and the per-thread state
//   collector.hpp    the cyclic collector: tracking rule, traversal
//   lifecycle.hpp    allocation (free lists) and bounded deallocation
//   call.hpp         calling user callables
//   dispatch.hpp     the method and slot templates
#pragma once

#include "binding/access.hpp"
#include "binding/call.hpp"
#include "binding/collector.hpp"
#include "binding/convert.hpp"
#include "binding/dispatch.hpp"
#include "binding/error.hpp"
#include "binding/instance.hpp"
#include "binding/lifecycle.hpp"
#include "binding/messages.hpp"
#include "binding/ref.hpp"
#include "binding/shared_count.hpp"
#include "binding/signature.hpp"
#include "binding/strings.hpp"
#include "binding/text_buffer.hpp"
#include "binding/interpreter.hpp"
