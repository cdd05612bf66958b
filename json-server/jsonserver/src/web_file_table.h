#pragma once
// The embedded web files: every file of the web page, decoded into memory before main runs and
// never changed afterwards, so the poll thread reads it without a lock.

#include <map>
#include <string>

// File name relative to the site root, without a leading "/" ("index.html",
// "img/flags/Cuba.bmp"), to the file's bytes.
using WebFileTable = std::map<std::string, std::string>;

// Joins the chunks (a list ended by a null pointer), decodes the base64 and gunzips the result
// into the table. A name already there keeps its first content. Throws std::runtime_error for
// text that is not base64 and the decompressor's error for a bad gzip stream.
void addWebFile(WebFileTable& table, const char* name, const char* const* chunks);

// Generated from the web root when the program is built: one addWebFile per file.
void fillWebFileTable(WebFileTable& table);

// The process-wide table, filled by static initialisation.
const WebFileTable& webFileTable();
