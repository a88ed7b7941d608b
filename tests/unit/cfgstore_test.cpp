// Unit tests of the configuration service's tables (kor::cfg::CfgStore).

#include "kor/cfg/CfgStore.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

using kor::cfg::CfgStore;
using nlohmann::json;

namespace {

unsigned code(const json& answer) { return answer.at("code").get<unsigned>(); }

CfgStore loaded(const json& tables) {
    CfgStore s;
    EXPECT_EQ(0u, code(s.change({{"op", "load"}, {"tables", tables}})));
    return s;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/cfgstore_test.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { (void)!system(("rm -rf '" + path + "'").c_str()); }
};

}  // namespace

TEST(CfgStore, OperationKinds) {
    for (const char* op : {"count", "read", "find", "dump"}) EXPECT_TRUE(CfgStore::isRead(op)) << op;
    for (const char* op : {"add", "set", "del", "replace", "load"}) EXPECT_TRUE(CfgStore::isChange(op)) << op;
    EXPECT_FALSE(CfgStore::isRead("add"));
    EXPECT_FALSE(CfgStore::isChange("begin"));
    CfgStore s;
    EXPECT_EQ(6u, code(s.read({{"op", "add"}, {"table", "T"}})));
    EXPECT_EQ(6u, code(s.change({{"op", "count"}, {"table", "T"}})));
}

TEST(CfgStore, ReadsOfAMissingTableSeeItEmpty) {
    CfgStore s;
    EXPECT_EQ(json({{"code", 0}, {"count", 0}}), s.read({{"op", "count"}, {"table", "T"}}));
    EXPECT_EQ(4u, code(s.read({{"op", "read"}, {"table", "T"}, {"index", 0}})));
    EXPECT_EQ(json({{"T", json::array()}}), s.read({{"op", "dump"}, {"table", "T"}})["tables"]);
    EXPECT_EQ(json::object(), s.read({{"op", "dump"}})["tables"]);
}

TEST(CfgStore, AddSetDel) {
    CfgStore s;
    EXPECT_EQ(json({{"code", 0}, {"index", 0}}), s.change({{"op", "add"}, {"table", "T"}, {"row", {{"a", 1}, {"b", "x"}}}}));
    EXPECT_EQ(json({{"code", 0}, {"index", 1}}), s.change({{"op", "add"}, {"table", "T"}, {"row", {{"a", 2}}}}));
    EXPECT_EQ(0u, code(s.change({{"op", "set"}, {"table", "T"}, {"index", 0}, {"row", {{"b", "y"}, {"c", -3}}}})));
    EXPECT_EQ(json({{"a", 1}, {"b", "y"}, {"c", -3}}), s.read({{"op", "read"}, {"table", "T"}, {"index", 0}})["row"]);
    EXPECT_EQ(4u, code(s.change({{"op", "set"}, {"table", "T"}, {"index", 2}, {"row", {{"a", 1}}}})));
    EXPECT_EQ(4u, code(s.change({{"op", "del"}, {"table", "U"}, {"index", 0}})));
    EXPECT_EQ(0u, code(s.change({{"op", "del"}, {"table", "T"}, {"index", 0}})));
    EXPECT_EQ(json({{"T", {{{"a", 2}}}}}), s.document());
    EXPECT_EQ(0u, code(s.change({{"op", "del"}, {"table", "T"}, {"index", 0}})));
    EXPECT_EQ(json({{"T", json::array()}}), s.document()) << "an emptied table stays";
}

TEST(CfgStore, FindComparesTextForms) {
    CfgStore s = loaded({{"T", {{{"k", 1}}, {{"k", "2"}}, {{"other", 3}}, {{"k", "2"}, {"n", 1}}}}});
    json hit = s.read({{"op", "find"}, {"table", "T"}, {"column", "k"}, {"value", "1"}});
    EXPECT_EQ(json({{"code", 0}, {"index", 0}, {"row", {{"k", 1}}}}), hit);
    EXPECT_EQ(1u, s.read({{"op", "find"}, {"table", "T"}, {"column", "k"}, {"value", 2}})["index"]);
    EXPECT_EQ(4u, code(s.read({{"op", "find"}, {"table", "T"}, {"column", "k"}, {"value", "3"}})));
    EXPECT_EQ(6u, code(s.read({{"op", "find"}, {"table", "T"}, {"column", "k"}, {"value", 1.5}})));
    EXPECT_EQ(6u, code(s.read({{"op", "find"}, {"table", "T"}, {"value", 1}})));
}

TEST(CfgStore, ReplaceAndLoad) {
    CfgStore s = loaded({{"A", {{{"x", 1}}}}, {"B", {{{"y", 2}}}}});
    EXPECT_EQ(0u, code(s.change({{"op", "replace"}, {"table", "A"}, {"rows", {{{"x", 5}}, {{"x", 6}}}}})));
    EXPECT_EQ(2u, s.read({{"op", "count"}, {"table", "A"}})["count"]);
    EXPECT_EQ(0u, code(s.change({{"op", "load"}, {"tables", {{"B", json::array()}, {"C", {{{"z", "t"}}}}}}})));
    EXPECT_EQ(json({{"A", {{{"x", 5}}, {{"x", 6}}}}, {"B", json::array()}, {"C", {{{"z", "t"}}}}}), s.document());
}

TEST(CfgStore, MalformedChangesChangeNothing) {
    CfgStore s = loaded({{"A", {{{"x", 1}}}}});
    const json before = s.document();
    const json bad[] = {
        {{"op", "add"}, {"table", "A"}},
        {{"op", "add"}, {"table", ""}, {"row", {{"x", 1}}}},
        {{"op", "add"}, {"row", {{"x", 1}}}},
        {{"op", "add"}, {"table", "A"}, {"row", {{"x", 1.5}}}},
        {{"op", "add"}, {"table", "A"}, {"row", {{"x", true}}}},
        {{"op", "add"}, {"table", "A"}, {"row", {{"", 1}}}},
        {{"op", "add"}, {"table", "A"}, {"row", json::array({1})}},
        {{"op", "set"}, {"table", "A"}, {"index", -1}, {"row", {{"x", 2}}}},
        {{"op", "set"}, {"table", "A"}, {"index", "0"}, {"row", {{"x", 2}}}},
        {{"op", "del"}, {"table", "A"}},
        {{"op", "replace"}, {"table", "A"}, {"rows", {{"x", 1}}}},
        {{"op", "replace"}, {"table", "A"}, {"rows", {{{"x", 1}}, {{"y", nullptr}}}}},
        {{"op", "load"}, {"tables", {{"A", json::array()}, {"B", {{{"y", 0.5}}}}}}},
        {{"op", "load"}, {"tables", json::array()}},
        {{"op", "load"}},
    };
    for (const json& req : bad) {
        EXPECT_EQ(6u, code(s.change(req))) << req.dump();
        EXPECT_EQ(before, s.document()) << req.dump();
    }
}

TEST(CfgStore, DiffNamesChangedTables) {
    CfgStore a = loaded({{"A", {{{"x", 1}}}}, {"B", {{{"y", 2}}}}});
    CfgStore b = a;
    EXPECT_TRUE(CfgStore::diff(a, b).empty());
    b.change({{"op", "set"}, {"table", "A"}, {"index", 0}, {"row", {{"x", 1}}}});
    EXPECT_TRUE(CfgStore::diff(a, b).empty()) << "setting a value it has changes nothing";
    b.change({{"op", "load"}, {"tables", {{"A", {{{"x", 9}}}}, {"B", {{{"y", 2}}}}, {"C", json::array()}}}});
    EXPECT_EQ((std::set<std::string>{"A", "C"}), CfgStore::diff(a, b));
    EXPECT_EQ((std::set<std::string>{"A", "C"}), CfgStore::diff(b, a));
}

TEST(CfgStore, FileRoundTrip) {
    TempDir dir;
    const std::string path = dir.path + "/store.json";
    CfgStore s;
    std::string error;
    ASSERT_TRUE(s.loadFile(path, error)) << "a missing store starts empty: " << error;
    EXPECT_EQ(json::object(), s.document());
    s = loaded({{"A", {{{"x", 1}, {"t", "$$(WAN2)"}}}}, {"B", json::array()}});
    ASSERT_TRUE(s.saveFile(path, error)) << error;
    EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK)) << "no temporary file is left";
    CfgStore back;
    ASSERT_TRUE(back.loadFile(path, error)) << error;
    EXPECT_EQ(s.document(), back.document());
}

TEST(CfgStore, BrokenFilesAreRefusedAndKept) {
    TempDir dir;
    const std::string path = dir.path + "/store.json";
    CfgStore s = loaded({{"A", {{{"x", 1}}}}});
    for (const char* text : {"", "{\"A\": [", "[]", "{\"A\": [{\"x\": 1.5}]}", "{\"A\": {}}"}) {
        std::ofstream(path) << text;
        std::string error;
        EXPECT_FALSE(s.loadFile(path, error)) << text;
        EXPECT_NE(std::string::npos, error.find(path)) << error;
        EXPECT_EQ(json({{"A", {{{"x", 1}}}}}), s.document()) << "a failed load keeps the store";
        EXPECT_EQ(text, slurp(path));
    }
}

TEST(CfgStore, SaveFailsInAMissingDirectory) {
    CfgStore s;
    std::string error;
    EXPECT_FALSE(s.saveFile("/nonexistent-dir/store.json", error));
    EXPECT_FALSE(error.empty());
}
