// The project's Markdown documents as their test reads them: headings' anchors as GitHub makes
// them, relative links, fenced blocks with the mark before each, and runnable examples run in a
// fresh folder against two simulated units. No rendering; what is right is the test's to say.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <map>
#include <vector>

namespace irig::test {

struct MarkdownLink {
    int line = 0;    // from 1
    QString target;  // as written: "docs/fleet.md#rollouts", "#ports"
};

struct MarkdownBlock {
    int line = 0;  // the opening fence's, from 1
    QString mark;  // the HTML comment on the line right before ("runnable: exit 0"), or empty
    QString text;  // the block's lines, each ending in '\n'
};

struct MarkdownDocument {
    QStringList anchors;
    std::vector<MarkdownLink> relativeLinks;  // links with a scheme ("https:") are left out
    std::vector<MarkdownBlock> blocks;        // fenced blocks
    QStringList faults;                       // a fenced block never closed
};

// GitHub's anchor for a heading: lower case, a link as its text, punctuation and symbols dropped,
// spaces as '-'.
QString HeadingAnchor(const QString& heading);

MarkdownDocument ReadMarkdown(const QString& text);

// README.md and docs/*.md, relative to `root`.
QStringList ProjectDocuments(const QString& root);

// What is wrong with a relative link in `document` (relative to `root`); empty when it leads to a
// file and, with "#anchor", to a heading of that Markdown file.
QString BrokenLink(const QString& root, const QString& document, const QString& target);

// A block marked "runnable: exit N": a script for `sh -e` that must end with exit code N, and the
// files the blocks marked "file: NAME" above it give, as a reader has written them by then (a
// later block of the same name replaces an earlier one).
struct Example {
    QString where;  // "docs/fleet.md:33"
    int exitCode = 0;
    QString script;
    std::map<QString, QByteArray> files;
};

// A document's runnable examples, in its order; a mark that is neither is a fault.
struct DocumentExamples {
    std::vector<Example> runnable;
    QStringList faults;
};

DocumentExamples Examples(const QString& document, const MarkdownDocument& markdown);

struct ExampleRun {
    int exitCode = -1;  // -1: it did not start or end
    QString out;
    QString err;
};

// Runs `example` with `sh -e` in `folder`, as a reader who goes down the document runs it there:
// its files written first, beside what the document's earlier examples left; with the README's
// exports (irigctl, irig-unit-sim and the Ansible module of this tree) and a home of its own,
// whose port map ~/.config/irig-config/ports has fresh simulated units as COM1 (version 2.3) and
// COM2 (version 2.4).
ExampleRun RunExample(const Example& example, const QString& folder);

}  // namespace irig::test
