// The tables of the configuration service and the requests on them.

#include "CfgStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "moduna/protocol/EResultCode.h"

namespace kor {
namespace cfg {

namespace {

using json = nlohmann::json;
using moduna::protocol::EResultCode;

json answer(unsigned code, const std::string& error = "") {
    json a = {{"code", code}};
    if (!error.empty()) a["error"] = error;
    return a;
}
json bad(const std::string& why) { return answer(EResultCode::RC_BAD_REQUEST, why); }
json notFound(const std::string& why) { return answer(EResultCode::RC_NOT_FOUND, why); }

std::string checkRow(const json& row) {
    if (!row.is_object()) return "a row must be an object";
    for (const auto& col : row.items()) {
        if (col.key().empty()) return "a column name must not be empty";
        if (!col.value().is_string() && !col.value().is_number_integer())
            return "column " + col.key() + ": a value must be an integer or a text";
        if (col.value().is_number_unsigned() && col.value().get<uint64_t>() > uint64_t(INT64_MAX))
            return "column " + col.key() + ": an integer must fit in 64 bits with its sign";
    }
    return "";
}

std::string checkRows(const json& rows) {
    if (!rows.is_array()) return "rows must be a list";
    for (const auto& row : rows) {
        std::string error = checkRow(row);
        if (!error.empty()) return error;
    }
    return "";
}

bool text(const json& req, const char* key, std::string& out) {
    auto it = req.find(key);
    if (it == req.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

bool tableName(const json& req, std::string& out) { return text(req, "table", out) && !out.empty(); }

bool index(const json& req, size_t& out) {
    auto it = req.find("index");
    if (it == req.end() || !it->is_number_integer()) return false;
    if (it->is_number_unsigned()) {
        out = size_t(it->get<uint64_t>());
        return true;
    }
    int64_t v = it->get<int64_t>();
    out = size_t(v);
    return v >= 0;
}

// The text form of a value, as find compares it.
std::string valueText(const json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); }

std::string noRow(size_t i, const std::string& table) {
    return "no row " + std::to_string(i) + " in " + table;
}

bool failed(std::string& error, const std::string& what, const std::string& path) {
    error = what + " " + path + ": " + strerror(errno);
    return false;
}

}  // namespace

bool CfgStore::isRead(const std::string& op) {
    return op == "count" || op == "read" || op == "find" || op == "dump";
}

bool CfgStore::isChange(const std::string& op) {
    return op == "add" || op == "set" || op == "del" || op == "replace" || op == "load" || op == "drop";
}

const CfgStore::json* CfgStore::table(const std::string& name) const {
    auto it = tables_.find(name);
    return it == tables_.end() ? nullptr : &*it;
}

CfgStore::json CfgStore::read(const json& req) const {
    std::string op, name;
    text(req, "op", op);
    if (!isRead(op)) return bad("not a read operation: " + op);
    if (op == "dump") {
        auto list = req.find("tables");
        if (list != req.end()) {
            if (!list->is_array()) return bad("tables must be a list of table names");
            json out = json::object();
            for (const auto& t : *list) {
                if (!t.is_string() || t.get_ref<const std::string&>().empty())
                    return bad("tables must be a list of table names");
                const json* rows = table(t.get<std::string>());
                out[t.get<std::string>()] = rows ? *rows : json::array();
            }
            return {{"code", 0}, {"tables", out}};
        }
        if (!req.contains("table")) return {{"code", 0}, {"tables", tables_}};
        if (!tableName(req, name)) return bad("table must be a non-empty text");
        const json* t = table(name);
        return {{"code", 0}, {"tables", {{name, t ? *t : json::array()}}}};
    }
    if (!tableName(req, name)) return bad("missing table");
    static const json none = json::array();
    const json* t = table(name);
    const json& rows = t ? *t : none;
    if (op == "count") return {{"code", 0}, {"count", rows.size()}};
    if (op == "read") {
        size_t i;
        if (!index(req, i)) return bad("missing index");
        if (i >= rows.size()) return notFound(noRow(i, name));
        return {{"code", 0}, {"row", rows[i]}};
    }
    std::string column;  // find
    if (!text(req, "column", column)) return bad("missing column");
    auto value = req.find("value");
    if (value == req.end() || (!value->is_string() && !value->is_number_integer()))
        return bad("value must be an integer or a text");
    std::string wanted = valueText(*value);
    for (size_t i = 0; i < rows.size(); ++i) {
        auto cell = rows[i].find(column);
        if (cell != rows[i].end() && valueText(*cell) == wanted) return {{"code", 0}, {"index", i}, {"row", rows[i]}};
    }
    return notFound("no row in " + name + " with " + column + " = " + wanted);
}

CfgStore::json CfgStore::change(const json& req) {
    std::string op, name, error;
    text(req, "op", op);
    if (!isChange(op)) return bad("not a change operation: " + op);
    if (op == "load") {
        auto doc = req.find("tables");
        if (doc == req.end()) return bad("missing tables");
        if (!(error = checkDocument(*doc)).empty()) return bad(error);
        for (const auto& t : doc->items()) tables_[t.key()] = t.value();
        return answer(EResultCode::RC_OK);
    }
    if (!tableName(req, name)) return bad("missing table");
    if (op == "drop") {
        if (!table(name)) return notFound("no table " + name);
        tables_.erase(name);
        return answer(EResultCode::RC_OK);
    }
    if (op == "replace") {
        auto rows = req.find("rows");
        if (rows == req.end()) return bad("missing rows");
        if (!(error = checkRows(*rows)).empty()) return bad(error);
        auto flag = req.find("volatile");
        if (flag != req.end() && !flag->is_boolean()) return bad("volatile must be true or false");
        tables_[name] = *rows;
        return answer(EResultCode::RC_OK);
    }
    auto row = req.find("row");
    if (op != "del") {
        if (row == req.end()) return bad("missing row");
        if (!(error = checkRow(*row)).empty()) return bad(error);
    }
    if (op == "add") {
        // "create":false: a misspelt table name is refused, not made.
        auto create = req.find("create");
        if (create != req.end() && !create->is_boolean()) return bad("create must be true or false");
        if (!table(name) && create != req.end() && !create->get<bool>()) return notFound("no table " + name);
        json& rows = tables_[name];
        if (rows.is_null()) rows = json::array();
        rows.push_back(*row);
        return {{"code", 0}, {"index", rows.size() - 1}};
    }
    size_t i;  // set, del
    if (!index(req, i)) return bad("missing index");
    auto rows = tables_.find(name);
    if (rows == tables_.end()) return notFound("no table " + name);
    if (i >= rows->size()) return notFound(noRow(i, name));
    if (op == "del") {
        rows->erase(i);
    } else {
        for (const auto& col : row->items()) (*rows)[i][col.key()] = col.value();
    }
    return answer(EResultCode::RC_OK);
}

CfgStore CfgStore::without(const std::set<std::string>& names) const {
    CfgStore copy;
    for (const auto& t : tables_.items())
        if (!names.count(t.key())) copy.tables_[t.key()] = t.value();
    return copy;
}

bool CfgStore::hasRows(const std::string& name) const {
    const json* rows = table(name);
    return rows && !rows->empty();
}

std::set<std::string> CfgStore::diff(const CfgStore& a, const CfgStore& b) {
    std::set<std::string> out;
    for (const auto& t : a.tables_.items()) {
        const json* other = b.table(t.key());
        if (!other || *other != t.value()) out.insert(t.key());
    }
    for (const auto& t : b.tables_.items())
        if (!a.table(t.key())) out.insert(t.key());
    return out;
}

std::string CfgStore::checkDocument(const json& doc) {
    if (!doc.is_object()) return "the document must be an object of tables";
    for (const auto& t : doc.items()) {
        if (t.key().empty()) return "a table name must not be empty";
        std::string error = checkRows(t.value());
        if (!error.empty()) return "table " + t.key() + ": " + error;
    }
    return "";
}

bool CfgStore::loadFile(const std::string& path, std::string& error) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        if (errno != ENOENT) return failed(error, "cannot open", path);
        tables_ = json::object();
        return true;
    }
    std::string content;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
    bool readFailed = ferror(f);
    fclose(f);
    if (readFailed) return failed(error, "cannot read", path);
    json doc;
    try {
        doc = json::parse(content);
    } catch (const json::exception& e) {
        error = path + " is not valid JSON: " + e.what();
        return false;
    }
    std::string invalid = checkDocument(doc);
    if (!invalid.empty()) {
        error = path + ": " + invalid;
        return false;
    }
    tables_ = std::move(doc);
    return true;
}

bool CfgStore::removeStaleTemporary(const std::string& path, std::string& notice, std::string& error) {
    const std::string tmp = path + ".tmp";
    if (::unlink(tmp.c_str()) == 0) {
        notice = "removed " + tmp + ", left by a write that was cut short";
        return true;
    }
    return errno == ENOENT || failed(error, "cannot remove the stale", tmp);
}

bool CfgStore::saveFile(const std::string& path, std::string& error, std::string& notice) const {
    const std::string tmp = path + ".tmp";
    const std::string content = tables_.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    // Created anew, never through a file or link that is already there.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(tmp.c_str(), flags, 0600);
    if (fd < 0 && errno == EEXIST) {
        // We remove our own after every write: this one was put there. Away
        // with it (unlink never follows a link), and once more.
        notice = tmp + " was there before the write, of another writer or planted: replaced";
        if (::unlink(tmp.c_str()) == 0 || errno == ENOENT) fd = ::open(tmp.c_str(), flags, 0600);
    }
    if (fd < 0) return failed(error, "cannot create", tmp);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        done += size_t(n);
    }
    bool ok = done == content.size() && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        failed(error, "cannot write", tmp);
        ::unlink(tmp.c_str());
        return false;
    }
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return failed(error, "cannot open directory", dir);
    ok = ::fsync(dfd) == 0;
    ::close(dfd);
    return ok || failed(error, "cannot sync directory", dir);
}

}  // namespace cfg
}  // namespace kor
