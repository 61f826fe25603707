// Documents that could have librsvg decode data they hold are found however they spell it, and refused by
// every SVG entry point; documents without any render as before.
#include "platform/svg_embedded_data.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/svg_render.h"

namespace {

std::string svg(const std::string& inner, const std::string& prologue = "") {
  return prologue + R"(<svg xmlns="http://www.w3.org/2000/svg" width="4" height="4">)" + inner + "</svg>";
}

TEST(SvgEmbeddedData, EverySpellingOfADataUrlIsFound) {
  const struct {
    const char* what;
    std::string document;
  } cases[] = {
      {"plain", svg(R"(<image href="data:image/png;base64,AAAA"/>)")},
      {"capitals", svg(R"(<image href=" DATA:image/png,x"/>)")},
      {"character references", svg(R"(<image href="&#100;at&#x61;:image/png,x"/>)")},
      {"line breaks inside", svg("<image href=\"da&#10;ta:image/png,x\"/>")},
      {"an entity", svg(R"(<image href="&d;ta:x"/>)", R"(<!DOCTYPE svg [<!ENTITY d "da">]>)")},
      {"nested entities", svg(R"(<image href="&e;:x"/>)", R"(<!DOCTYPE svg [<!ENTITY d "da"><!ENTITY e "&d;ta">]>)")},
      {"a CSS escape", svg(R"(<style>rect { fill: url("d\61 ta:x") }</style>)")},
      {"a comment inside style", svg(R"(<style>@import url(da<!-- -->ta:text/css,x);</style>)")},
      {"a CDATA section", svg(R"(<style><![CDATA[@import url(da]]>ta:x);</style>)")},
      {"a stylesheet instruction", R"(<?xml-stylesheet href="data:text/css,x"?>)" + svg("")},
  };
  for (const auto& c : cases) EXPECT_TRUE(svgDocumentEmbedsData(c.document)) << c.what;
}

TEST(SvgEmbeddedData, WhatItCannotReadIsTakenAsEmbedding) {
  const struct {
    const char* what;
    std::string document;
  } cases[] = {
      {"gzip", std::string("\x1f\x8b\x08\0", 4)},
      {"UTF-16", std::string("\xff\xfe<\0s\0v\0g\0", 10)},
      {"another encoding", R"(<?xml version="1.0" encoding="UTF-7"?>)" + svg("")},
      {"a parameter entity", svg("", R"(<!DOCTYPE svg [<!ENTITY % p "x">]>)")},
      {"an entity naming a file", svg("", R"(<!DOCTYPE svg [<!ENTITY f SYSTEM "file:///etc/passwd">]>)")},
      {"entities spelling out too much",
       svg("&e;", R"(<!DOCTYPE svg [<!ENTITY a "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa">)"
                  R"(<!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;"><!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">)"
                  R"(<!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;"><!ENTITY e "&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;">]>)")},
  };
  for (const auto& c : cases) EXPECT_TRUE(svgDocumentEmbedsData(c.document)) << c.what;
}

TEST(SvgEmbeddedData, OrdinaryDocumentsHoldNone) {
  const std::string plain = svg(R"x(<rect width="4" height="4" fill="url(#g)"/><image href="picture.png"/>)x");
  const std::string declared =
      svg("", R"(<?xml version="1.0" encoding="UTF-8"?><!DOCTYPE svg [<!ENTITY ns "http://www.w3.org/2000/svg">]>)");
  EXPECT_FALSE(svgDocumentEmbedsData(plain));
  EXPECT_FALSE(svgDocumentEmbedsData(declared));
}

TEST(SvgEmbeddedData, EveryEntryPointRefusesThem) {
  const std::string document = svg(R"(<rect width="4" height="4"/><image href="data:image/png;base64,AAAA"/>)");
  SvgBitmap bitmap;
  int32_t left = 0, top = 0;
  double width = 0, height = 0;
  EXPECT_FALSE(renderSvgToBgra(document, 4, 4, &bitmap));
  EXPECT_NE(std::string(svgLastError()).find("embeds data"), std::string::npos) << svgLastError();
  EXPECT_FALSE(renderSvgDocumentToBgra(document, 20.0f, 1000.0f, 4096, &left, &top, &bitmap));
  EXPECT_FALSE(svgDrawingExtent(document, &width, &height));
}

}  // namespace
