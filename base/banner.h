// The product banner shared by the dispatcher and the tools.
#pragma once

struct ConsoleOps;

constexpr const char kProductName[] = "qorveltools";
constexpr const char kProductVersion[] = "1.19-pr16";
constexpr const char kPlatformSuffix[] = " - 32bit";
constexpr const char kEditionSuffix[] = "";
constexpr const char kBuildDate[] = "2018-04-04";

// Logs "\n<title> <version><platform><edition> (build <date>)\n" through the console record.
void print_banner(ConsoleOps* ops, const char* title);
