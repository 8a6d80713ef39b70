// The routines that run once per item or once per body, timed alone: the link
// block, its removal from a large body, the record list's text form and name
// building. A detach of a folder runs each of them thousands of times, so a cost
// that grows faster than its input shows up here first.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "common/addin_environment.h"
#include "engine/cProcessedAttachments.h"
#include "engine/linkBlock.h"
#include "engine/naming.h"

namespace stow {
namespace {

// A name like the ones in real mail: spaces, accents, a reserved character.
std::string FileNameNo(std::int64_t i) {
  return "R\xC3\xA9sum\xC3\xA9 de l'\xC3\xA9quipe #" + std::to_string(i) + " (final).pdf";
}

std::string PathNo(std::int64_t i) {
  return "/home/reader/Documents/My Attachments/2024.01.15_10.30.00_" + FileNameNo(i);
}

LinkSettings AllSections() {
  LinkSettings s;
  s.EmbedMacPath = true;
  s.EmbedHTTPPath = true;
  s.HTTPAddress = "http://files.example.com/attachments/";
  return s;
}

// An HTML body of about `bytes` bytes of ordinary paragraphs.
std::string Body(std::int64_t bytes) {
  std::string body = "<html><body>\n";
  const std::string para =
      "<p>Please find the report attached; the figures for the quarter are in the second "
      "table &amp; the notes follow below.</p>\n";
  while (static_cast<std::int64_t>(body.size()) < bytes) body += para;
  return body + "</body></html>\n";
}

std::string BlockOf(std::int64_t links) {
  LinkLists lists;
  LinkSettings s = AllSections();
  for (std::int64_t i = 0; i < links; ++i) lists.AddEntries(PathNo(i), FileNameNo(i), s);
  return BuildLinkBlock(BuildLinksText(lists, s, false));
}

std::string RecordText(std::int64_t records) {
  std::string text;
  for (std::int64_t i = 0; i < records; ++i) {
    if (i) text += "\r\n";
    text += PathNo(i) + "\t" + FileNameNo(i) + "\t" + (i % 5 == 0 ? "-1" : "0");
  }
  return text;
}

void BM_BuildLinkBlock(benchmark::State& state) {
  LinkSettings s = AllSections();
  for (auto _ : state) {
    LinkLists lists;
    for (std::int64_t i = 0; i < state.range(0); ++i) lists.AddEntries(PathNo(i), FileNameNo(i), s);
    std::string block = BuildLinkBlock(BuildLinksText(lists, s, false));
    benchmark::DoNotOptimize(block);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BuildLinkBlock)->Arg(1)->Arg(3)->Arg(30)->Arg(300);

// Placing the block before a body of the given size (a copy of the whole body).
void BM_PlaceLinkBlock(benchmark::State& state) {
  std::string body = Body(state.range(0));
  std::string block = BlockOf(3);
  for (auto _ : state) {
    std::string out = PlaceLinkBlock(body, block, 0);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
}
BENCHMARK(BM_PlaceLinkBlock)->Arg(16 << 10)->Arg(1 << 20)->Arg(16 << 20);

// Removal from a large body: the block at the end is the worst case for a search
// from the front.
void BM_RemoveAttachmentsLinks(benchmark::State& state) {
  std::string html = PlaceLinkBlock(Body(state.range(0)), BlockOf(3), 1);
  for (auto _ : state) {
    std::string out = RemoveAttachmentsLinks(html);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
}
BENCHMARK(BM_RemoveAttachmentsLinks)->Arg(16 << 10)->Arg(1 << 20)->Arg(16 << 20);

// A body without any block: what a re-attach of a mail whose links were edited away
// costs.
void BM_RemoveAttachmentsLinksNoBlock(benchmark::State& state) {
  std::string html = Body(state.range(0));
  for (auto _ : state) {
    std::string out = RemoveAttachmentsLinks(html);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
}
BENCHMARK(BM_RemoveAttachmentsLinksNoBlock)->Arg(1 << 20)->Arg(16 << 20);

// Rewriting inline image addresses in a body with many cid: references.
void BM_ReplaceCid(benchmark::State& state) {
  std::string body = Body(state.range(0));
  for (std::size_t at = 0; at < body.size(); at += 4096) body.insert(at, "<img src=\"cid:x\">");
  for (auto _ : state) {
    std::string out = ReplaceAll(body, "cid:x", HtmlEscape(PathNo(1)));
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
}
BENCHMARK(BM_ReplaceCid)->Arg(1 << 20);

// The add-in world (dictionary factory, settings, a store) the record list and the
// naming need; one per benchmark run, outside the timed loop.
struct World {
  World() {
    env.UseAttachmentFolder(env.MakeFolder("att"));
    mem::MailSpec mailSpec;
    mailSpec.subject = "Quarterly figures: r\xC3\xA9sum\xC3\xA9 & notes";
    mem::AttachmentSpec pdf;
    pdf.fileName = "a.pdf";
    pdf.bytes = "bytes";
    mailSpec.attachments.push_back(pdf);
    item = env.AddMail(mailSpec);
  }
  testing::AddinEnvironment env;
  std::shared_ptr<om::Item> item;
};

void BM_RecordsFromString(benchmark::State& state) {
  World world;
  std::string text = RecordText(state.range(0));
  for (auto _ : state) {
    cProcessedAttachments records;
    records.FromString(text);
    benchmark::DoNotOptimize(records.Count());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RecordsFromString)->Arg(3)->Arg(100)->Arg(1000)->Arg(10000);

void BM_RecordsToString(benchmark::State& state) {
  World world;
  cProcessedAttachments records;
  records.FromString(RecordText(state.range(0)));
  for (auto _ : state) {
    std::string text = records.ToString();
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RecordsToString)->Arg(3)->Arg(100)->Arg(1000)->Arg(10000);

// Name building by AttachmentNamingOption: 0 received time, 1 subject, 3 random,
// 4 the name as it is.
void BM_GetAttachmentName(benchmark::State& state) {
  World world;
  world.env.SetSetting("AttachmentNamingOption", std::to_string(state.range(0)));
  std::int64_t i = 0;
  for (auto _ : state) {
    std::string name = GetAttachmentName(world.item, FileNameNo(++i), state.range(1) != 0, false);
    benchmark::DoNotOptimize(name);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetAttachmentName)->ArgsProduct({{0, 1, 3, 4}, {0, 1}});

}  // namespace
}  // namespace stow

BENCHMARK_MAIN();
