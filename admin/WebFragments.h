// The documents of the web folder that are parts of pages rather than pages:
// the includes (head, top, foot), the status page and the account row that
// the server fills in itself, and the message boxes, which are pages only
// with the texts their command sends along. TWebInterface's routing asks
// here before it serves a document by its URL, so that none of them shows
// its raw markers to a browser that opens it directly.
//
// Thread-safety: pure functions.
#pragma once

#include <functional>
#include <string_view>

// Whether the file (a name without folder, any case) is only ever part of
// another page.
bool IsPageFragment(std::string_view fileName);
// Whether the file is a message box and `param` (a request parameter by
// name; empty when absent) lacks the text that makes it one.
bool IsBareMessageBox(std::string_view fileName, const std::function<std::string(std::string_view)>& param);
