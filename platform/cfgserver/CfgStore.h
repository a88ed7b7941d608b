#pragma once
// The tables of the configuration service and the requests that read and
// change them (see docs/cfg-protocol.md). A table is an ordered list of rows;
// a row maps column names to values, each an integer or a text.
//
// The class knows nothing of clients, transactions or notifications: the
// server changes a copy, compares it with diff() and keeps it once written.

#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace kor {
namespace cfg {

class CfgStore {
public:
    using json = nlohmann::json;

    // Reads: count, read, find, dump. Changes: add, set, del, replace, load,
    // drop.
    static bool isRead(const std::string& op);
    static bool isChange(const std::string& op);

    // Answers a read request: an object with "code" and the result fields
    // (no "id"). Unknown or malformed requests give code 6.
    json read(const json& req) const;
    // Performs a change request and answers it like read().
    json change(const json& req);

    // Names of the tables whose presence or rows differ between a and b.
    static std::set<std::string> diff(const CfgStore& a, const CfgStore& b);

    // Checks a document of the dump/load shape, {"Table":[{row},...],...}.
    // Returns "" when it is valid, otherwise what is wrong with it.
    static std::string checkDocument(const json& doc);

    const json& document() const { return tables_; }
    // A copy without the tables named.
    CfgStore without(const std::set<std::string>& names) const;
    // Whether the table exists and has rows.
    bool hasRows(const std::string& name) const;

    // Reads the store file; a missing file gives an empty store. Returns
    // false with a reason when it cannot be read or is not a valid document;
    // the store is then unchanged.
    bool loadFile(const std::string& path, std::string& error);
    // Writes the store to PATH.tmp, syncs it, renames it over PATH and syncs
    // the directory. Returns false with a reason on any failure. PATH.tmp is
    // created with O_EXCL and O_NOFOLLOW; one that is there already is
    // removed first, and notice says so.
    bool saveFile(const std::string& path, std::string& error, std::string& notice) const;
    // Removes PATH.tmp, which a server killed while writing leaves behind;
    // notice says when there was one. False with a reason when it stays.
    static bool removeStaleTemporary(const std::string& path, std::string& notice, std::string& error);

private:
    const json* table(const std::string& name) const;

    json tables_ = json::object();
};

}  // namespace cfg
}  // namespace kor
