#include "HtmlSettings.h"

namespace varnox::cli::html {
namespace {

std::string yesNo(const json& object, const char* key) {
  const json& v = member(object, key);
  return v.is_boolean() ? (v.get<bool>() ? "yes" : "no") : "";
}

std::string nonZero(const json& object, const char* key) {
  const uint64_t v = u64(object, key);
  return v == 0 ? "" : std::to_string(v);
}

}  // namespace

void runSection(std::ostringstream& out, const json& run) {
  LabelledTable facts("run");
  facts.text("started", str(run, "startTime"))
      .text("ended", str(run, "endTime"))
      .text("test file", str(member(run, "testFile"), "path").empty() ? str(run, "file")
                                                                      : str(member(run, "testFile"), "path"))
      .row("test file SHA-256", str(member(run, "testFile"), "sha256").empty()
                                    ? ""
                                    : "<code>" + esc(str(member(run, "testFile"), "sha256")) + "</code>")
      .text("working directory", str(run, "workingDirectory"))
      .row("command line",
           str(run, "commandLine").empty() ? "" : "<code>" + esc(str(run, "commandLine")) + "</code>")
      .text("host", str(member(run, "host"), "name"))
      .text("kernel", str(member(run, "host"), "kernel"))
      .text("CPU", str(member(run, "host"), "cpuModel") +
                       (u64(member(run, "host"), "cpuCores")
                            ? ", " + std::to_string(u64(member(run, "host"), "cpuCores")) + " cores"
                            : ""))
      .text("varnox version",
            str(run, "version") +
                (str(run, "revision").empty() ? "" : " (source revision " + str(run, "revision") + ")"))
      .text("seed", str(run, "seed"))
      .text("\"Random Seed\"", str(run, "randomSeed"))
      .text("log", str(run, "log"))
      .text("record layout", str(run, "schemaVersion").empty() ? "" : "version " + str(run, "schemaVersion"));
  if (!facts.empty()) out << "<section id=\"run\">\n<h2>Run</h2>\n" << facts.html() << "</section>\n";
}

LabelledTable driveSettingsTable(const json& d) {
  LabelledTable t("drive-settings");
  const uint64_t blocks = u64(d, "capacityBlocks"), blockSize = u64(d, "blockSize");
  t.text("device", str(d, "device"))
      .text("capacity",
            blocks ? std::to_string(blocks) + " blocks (" + bytesText(blocks * blockSize) + ")" : "")
      .text("block size", blockSize ? std::to_string(blockSize) + " bytes" : "")
      .text("protection information", yesNo(d, "protectionInfo"))
      .text("logical blocks per physical block (log2)", nonZero(d, "physicalExponent"))
      .text("queue depth", str(d, "queueDepth"))
      .text("completions", str(d, "completions"))
      .text("write cache", str(d, "writeCache"))
      .text("atomic unit", nonZero(d, "atomicUnit").empty() ? "" : nonZero(d, "atomicUnit") + " blocks")
      .text("zone size",
            nonZero(d, "zoneSize").empty() ? "" : nonZero(d, "zoneSize") + " blocks, " + str(d, "zoneModel"))
      .text("seed", str(d, "seed"))
      .text("direct I/O", member(d, "directIo") == true ? "yes" : "")
      .text("precondition", member(d, "precondition") == true ? "yes" : "")
      .text("destroy data", member(d, "destroyData") == true
                                ? "yes" + std::string(member(d, "force") == true ? ", forced" : "")
                                : "");
  return t;
}

void settingsSection(std::ostringstream& out, const json& c) {
  if (!c.is_object()) return;
  out << "<section id=\"settings\">\n<h2>Settings</h2>\n";
  const json& test = member(c, "test");
  LabelledTable limits("test-settings");
  limits.text("passes", str(test, "passes"))
      .text("duration",
            member(test, "durationSeconds").is_number() ? secondsText(number(test, "durationSeconds")) : "")
      .text("output base", str(test, "output"))
      .text("log file", str(test, "log"))
      .text("command timeout", member(test, "commandTimeoutSeconds").is_number()
                                   ? (number(test, "commandTimeoutSeconds") > 0
                                          ? secondsText(number(test, "commandTimeoutSeconds"))
                                          : "never")
                                   : "")
      .text("device errors tolerated", str(test, "maxDeviceErrors"));
  out << limits.html("Test");

  if (const json& flow = member(c, "flow"); flow.is_array() && !flow.empty()) {
    out << "<h3>Flow</h3>\n<table class=\"grid flow\"><tr><th>step</th><th>agent or command</th><th>runs "
           "on</th>"
           "<th>settings</th></tr>\n";
    size_t n = 0;
    for (const json& step : flow) {
      std::string settings;
      if (const json& s = member(step, "settings"); s.is_object())
        for (auto it = s.begin(); it != s.end(); ++it)
          settings += (settings.empty() ? "" : ", ") + esc(it.key()) + " = " + esc(text(*it));
      out << "<tr><td class=\"num\">" << ++n << "</td><td>" << esc(str(step, "name")) << "</td><td>"
          << esc(str(step, "condition").empty() ? "every pass" : "condition " + str(step, "condition"))
          << "</td><td>" << (settings.empty() ? "defaults" : settings) << "</td></tr>\n";
    }
    out << "</table>\n";
  }

  if (const json& keys = member(c, "agentKeys"); keys.is_array() && !keys.empty()) {
    out << "<h3>Agent keys</h3>\n<table class=\"grid "
           "agent-keys\"><tr><th>agent</th><th>key</th><th>value</th>"
           "<th>from</th></tr>\n";
    for (const json& k : keys) {
      std::string value = text(member(k, "value"));
      if (value.empty()) value = "none";
      std::string agent = str(k, "agent");
      if (const size_t slash = agent.rfind('/'); slash != std::string::npos) agent = agent.substr(slash + 1);
      out << "<tr" << (member(k, "defaulted") == false ? " class=\"set\"" : "") << "><td>" << esc(agent)
          << "</td><td>" << esc(str(k, "key")) << "</td><td><code>" << esc(value) << "</code></td><td>"
          << (member(k, "defaulted") == false ? "the test" : "default") << "</td></tr>\n";
    }
    out << "</table>\n";
  }
  out << "</section>\n";
}

}  // namespace varnox::cli::html
