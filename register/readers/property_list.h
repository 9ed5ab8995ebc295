// Apple's property lists, read as macOS's own tools read them: the managed
// preferences that carry the browsers' policies there, and the apps'
// Info.plist.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system.h"

namespace tarnwick::registration {

// The value of an XML property list, as `plutil -convert xml1` writes one
// (Apple's PropertyList-1.0 document type), as JSON: a dict is an object (of
// repeated keys the last wins), an array an array, a string a string, an
// integer an integer, true and false booleans, a real a number (or its text
// when it is not a finite one), and a date or data its text as a string.
// Comments, processing instructions and the document type are skipped, and
// the five named entities, numeric character references and CDATA sections
// are read in text. Nothing for anything else: text that is not UTF-8, an
// element the document type does not have, text where an element belongs,
// a key without its value, an integer that does not fit 64 bits, nesting
// deeper than 200, or anything but one value inside <plist>.
std::optional<nlohmann::json> parseXmlPropertyList(std::string_view text);

// The property list at `file` (XML or binary), read through the system's
// plutil (`root` + "/usr/bin/plutil -convert xml1 -o - FILE", as every Mac
// has it). The failure is the file's own (ENOENT when there is none), or
// says that plutil failed or that its output was not a property list.
os::Status readPropertyList(const std::string& file, const std::string& root,
                            nlohmann::json* value);

}  // namespace tarnwick::registration
