// The warning and error lines the library prints ("[pelora-opt] warning:
// ..."). Each line is issued once, here, on two channels:
//  - the warnings filters: a filter naming PeloraWarning (or every warning)
//    decides: "error" raises it, "ignore" drops it, the other actions hand
//    it to the warnings display or recorder (pytest.warns, catch_warnings);
//  - the "pelora_opt" logger, which always receives the record (so logging
//    can capture or silence it). The logger's own handler prints the line,
//    as it stands, on the current sys.stderr when no warnings filter named
//    it and no application handler already writes it to that stream.
// With no configuration a user sees the single line, nothing else.
#pragma once
#include <Python.h>

#include <string_view>

namespace pelora::py {

// pelora_opt.PeloraWarning (a UserWarning subclass), created on first need.
PyObject* pelora_warning_type();

// Adds PeloraWarning to the module (at module initialisation). The logger's
// display handler is set up by the first message.
void install_messages(PyObject* module);

// Issues one line (no trailing newline) as a warning or as an error
// record. Raises (a C++ exception with the Python error set) when a filter
// turns PeloraWarning into an error, or when a handler fails.
void warn_line(std::string_view line);
void error_line(std::string_view line);

}  // namespace pelora::py
