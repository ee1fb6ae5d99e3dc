// The README and the guides in docs/ kept true: every relative link leads to its file and heading,
// and every example marked runnable ends with the exit code it claims against simulated units, run
// as a reader runs it: down the document, in a folder of its own away from the source tree.
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <vector>

#include "support/documents.h"

namespace irig::test {
namespace {

const QString kRoot = QStringLiteral(IRIG_SOURCE_DIR);

MarkdownDocument Read(const QString& document) {
    QFile file(kRoot + QLatin1Char('/') + document);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << document.toStdString();
    const MarkdownDocument markdown = ReadMarkdown(QString::fromUtf8(file.readAll()));
    EXPECT_EQ(markdown.faults.join(QLatin1Char('\n')).toStdString(), "") << document.toStdString();
    return markdown;
}

TEST(Documents, EveryRelativeLinkLeadsToItsFileAndHeading) {
    int links = 0;
    for (const QString& document : ProjectDocuments(kRoot)) {
        for (const MarkdownLink& link : Read(document).relativeLinks) {
            ++links;
            EXPECT_EQ(BrokenLink(kRoot, document, link.target).toStdString(), "")
                << document.toStdString() << ':' << link.line;
        }
    }
    EXPECT_GE(links, 20) << "the guides link to each other";
}

TEST(Documents, TheirExamplesAreMarkedRunnableWithoutFault) {
    size_t examples = 0;
    for (const QString& document : ProjectDocuments(kRoot)) {
        const DocumentExamples marked = Examples(document, Read(document));
        EXPECT_EQ(marked.faults.join(QLatin1Char('\n')).toStdString(), "");
        examples += marked.runnable.size();
    }
    EXPECT_GE(examples, 10U);
}

// A document with runnable examples a test, so that each has the suite's time of its own.
class RunnableExamples : public testing::TestWithParam<QString> {};

std::vector<QString> WithRunnableExamples() {
    std::vector<QString> documents;
    for (const QString& document : ProjectDocuments(kRoot)) {
        QFile file(kRoot + QLatin1Char('/') + document);
        if (file.open(QIODevice::ReadOnly) &&
            !Examples(document, ReadMarkdown(QString::fromUtf8(file.readAll()))).runnable.empty()) {
            documents.push_back(document);
        }
    }
    return documents;
}

TEST_P(RunnableExamples, EndWithTheExitCodeTheyClaim) {
    const QTemporaryDir folder;
    for (const Example& example : Examples(GetParam(), Read(GetParam())).runnable) {
        const ExampleRun run = RunExample(example, folder.path());
        EXPECT_EQ(run.exitCode, example.exitCode) << example.where.toStdString() << ":\n"
                                                  << example.script.toStdString() << "said:\n"
                                                  << run.out.toStdString() << run.err.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Documents, RunnableExamples, testing::ValuesIn(WithRunnableExamples()),
                         [](const testing::TestParamInfo<QString>& document) {
                             return QFileInfo(document.param)
                                 .baseName()
                                 .replace(QLatin1Char('-'), QLatin1Char('_'))
                                 .toStdString();
                         });

struct AnchorRow {
    const char* name;
    const char* heading;
    const char* anchor;
};

class Anchors : public testing::TestWithParam<AnchorRow> {};

// As GitHub makes them, so that a link the test passes works on GitHub too.
TEST_P(Anchors, AreGitHubs) {
    EXPECT_EQ(HeadingAnchor(QString::fromUtf8(GetParam().heading)),
              QString::fromUtf8(GetParam().anchor));
}

INSTANTIATE_TEST_SUITE_P(
    Documents, Anchors,
    testing::Values(
        AnchorRow{"punctuation", "irigctl: the window's guide", "irigctl-the-windows-guide"},
        AnchorRow{"code_and_underscore", "`irig_unit` (Ansible)", "irig_unit-ansible"},
        AnchorRow{"a_link_as_its_text", "See [the port map](x.md#y)", "see-the-port-map"},
        AnchorRow{"symbols_and_letters", "Ports → Geräte ±2 ms", "ports--geräte-2-ms"}),
    [](const testing::TestParamInfo<AnchorRow>& row) { return row.param.name; });

TEST(Documents, ARepeatedHeadingsAnchorIsNumberedAndABlockMarkIsItsCommentRightBefore) {
    const MarkdownDocument markdown =
        ReadMarkdown(QStringLiteral("# Use\n## Use\n<!-- runnable: exit 5 -->\n````sh\n```\nx\n"
                                    "````\n<!-- file: a -->\n\n```\ny\n```\n"));
    EXPECT_EQ(markdown.anchors, QStringList({QStringLiteral("use"), QStringLiteral("use-1")}));
    ASSERT_EQ(markdown.blocks.size(), 2U);
    EXPECT_EQ(markdown.blocks[0].mark, QStringLiteral("runnable: exit 5"));
    EXPECT_EQ(markdown.blocks[0].text, QStringLiteral("```\nx\n"));
    EXPECT_EQ(markdown.blocks[1].mark, QString()) << "a blank line parts a mark from its block";
}

// As a reader goes down a document: a block has the files written above it, the last of a name.
TEST(Documents, AnExampleHasTheFilesAboveItTheLastOfANameStanding) {
    const DocumentExamples marked = Examples(
        QStringLiteral("d.md"),
        ReadMarkdown(QStringLiteral("<!-- runnable: exit 0 -->\n```\nfirst\n```\n"
                                    "<!-- file: a -->\n```\n1\n```\n<!-- runnable: exit 0 -->\n"
                                    "```\nsecond\n```\n<!-- file: a -->\n```\n2\n```\n"
                                    "<!-- runnable: exit 3 -->\n```\nthird\n```\n")));
    ASSERT_EQ(marked.runnable.size(), 3U);
    EXPECT_TRUE(marked.runnable[0].files.empty());
    EXPECT_EQ(marked.runnable[1].files.at(QStringLiteral("a")), "1\n");
    EXPECT_EQ(marked.runnable[2].files.at(QStringLiteral("a")), "2\n");
    EXPECT_EQ(marked.runnable[2].exitCode, 3);
    EXPECT_EQ(marked.runnable[2].where, QStringLiteral("d.md:18"));
}

}  // namespace
}  // namespace irig::test
