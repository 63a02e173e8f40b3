// Each command's setup on a parser of its own: the words it is given land
// in its options, the words after "--" fill the positionals left empty,
// and what the parser cannot check is refused with the words users see.
#include <algorithm>

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include "commands/commands.h"
#include "commands/options.h"

namespace qvr::cli {
namespace {

using Words = std::vector<std::string>;

// `args` parsed by the command `setUp` makes, then `afterDashes` placed by
// its Finish: the failure's message, or "" when the line is whole.
template <typename Options>
std::string ParseAlone(Finish (*setUp)(CLI::App&, Options&), Options& options, Words args, Words afterDashes = {}) {
    CLI::App command("one command", "qvr");
    const Finish finish = setUp(command, options);
    std::reverse(args.begin(), args.end());  // CLI11 takes a vector last word first
    command.parse(args);
    AfterDashes rest("cmd", std::move(afterDashes));
    const Done done = finish(rest);
    return done ? "" : done.error();
}

TEST(CommandSetUp, PositionalsFromBothSidesOfDashes) {
    ListOptions list;
    EXPECT_EQ(ParseAlone(SetUpList, list, {}, {"-a.qvr", "-n"}), "");
    EXPECT_EQ(list.archive, "-a.qvr");
    EXPECT_EQ(list.select.names, (Words{"-n"}));

    DeleteOptions del;
    EXPECT_EQ(ParseAlone(SetUpDelete, del, {"t.qvr", "a", "-v"}, {"-b"}), "");
    EXPECT_EQ(del.select.names, (Words{"a", "-b"}));
    EXPECT_TRUE(del.verbose);

    RenameOptions rename;
    EXPECT_EQ(ParseAlone(SetUpRename, rename, {"t.qvr", "--no-wait"}, {"-old", "-new"}), "");
    EXPECT_EQ(rename.archive, "t.qvr");
    EXPECT_EQ(rename.from, "-old");
    EXPECT_EQ(rename.to, "-new");
    EXPECT_TRUE(rename.change.noWait);

    CreateOptions create;
    EXPECT_EQ(ParseAlone(SetUpCreate, create, {"x.qvr", "-C", "a", "f", "-C", "b"}, {"-g"}), "");
    EXPECT_EQ(create.inputs, (std::vector<InputPath>{{"f", "a"}, {"-g", "a/b"}}));
}

TEST(CommandSetUp, WhatTheParserCannotCheck) {
    ListOptions list;
    EXPECT_EQ(ParseAlone(SetUpList, list, {"-l"}), "ARCHIVE is missing (qvr cmd --help)");
    TestOptions test;
    EXPECT_EQ(ParseAlone(SetUpTest, test, {"a.qvr"}, {"b.qvr"}), "takes one archive (qvr test --help)");
    RenameOptions rename;
    EXPECT_EQ(ParseAlone(SetUpRename, rename, {"t.qvr", "old"}), "takes ARCHIVE OLD NEW (qvr cmd --help)");
    RenameOptions tooMany;
    EXPECT_EQ(ParseAlone(SetUpRename, tooMany, {"t.qvr", "old", "new"}, {"more"}),
              "takes ARCHIVE OLD NEW (qvr cmd --help)");
    ExtractOptions extract;
    EXPECT_EQ(ParseAlone(SetUpExtract, extract, {"-k", "a.qvr", "--overwrite"}),
              "--keep and --overwrite exclude each other");
    ExtractOptions keep;
    EXPECT_EQ(ParseAlone(SetUpExtract, keep, {"-k", "a.qvr"}), "");
    EXPECT_FALSE(keep.overwrite);
}

}  // namespace
}  // namespace qvr::cli
