// `vistel inspect`: the object model of a project as JSON, so authors can see
// exactly what the loader made of their document (skipped elements, duplicate
// ids, decoded key quads).
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <ostream>

#include "command_line.h"
#include "commands.h"
#include "vistel/project/project_holder.h"
#include "vistel/scene/geometry.h"

namespace vistel::cli {

const char* const kInspectHelp =
    "usage: vistel inspect [FILE|-]\n"
    "\n"
    "Loads a project document (FILE, or standard input when FILE is - or absent)\n"
    "and prints its object model as one JSON object on standard output:\n"
    "  {\"root\": true, \"attributes\", \"scripts\", \"views\", \"viewTemplates\",\n"
    "   \"buttonTemplates\", \"shapeTemplates\", \"links\", \"embeds\", \"lenses\"}\n"
    "Tables are objects keyed by id; keys carry \"quad\" (eight numbers) when they\n"
    "hold 32 or more bytes. Numbers round-trip as float32; non-finite ones print\n"
    "as null.\n"
    "\n"
    "Exit status: 0 when the text has a <quilo> root, 1 when it has none (prints\n"
    "{\"root\": false}), 2 when the file cannot be read.\n";

namespace {

// Floats are stored as float32, so the JSON number type is float: every number
// prints with the fewest digits that read back to the same float.
using Json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool,
                                  std::int64_t, std::uint64_t, float>;

Json attributesOf(const ProjectElement& element) {
  Json out = Json::object();
  for (const auto& [name, value] : element.attributes) out[name] = value;
  return out;
}

Json scriptOf(const ScriptElement& script) {
  Json actions = Json::array();
  for (const auto& action : script.actions) {
    actions.push_back({{"kind", action.kind == ScriptAction::Play ? "play" : "set"},
                       {"cond", action.cond},
                       {"args", action.args}});
  }
  return {{"id", script.id}, {"attributes", attributesOf(script)}, {"actions", std::move(actions)}};
}

Json scriptsOf(const ScriptedElement& element) {
  Json out = Json::array();
  for (const auto& script : element.scripts) out.push_back(scriptOf(*script));
  return out;
}

Json buttonOf(const ScriptedElement& element) {
  return {
      {"id", element.id}, {"attributes", attributesOf(element)}, {"scripts", scriptsOf(element)}};
}

Json shapeOf(const ShapeElement& shape) {
  Json out = buttonOf(shape);
  Json points = Json::array();
  for (const auto& p : shape.points) points.push_back(Json::array({p.x, p.y}));
  out["points"] = std::move(points);
  return out;
}

Json viewOf(const ViewElement& view) {
  Json out = {{"id", view.id},
              {"attributes", attributesOf(view)},
              {"scripts", scriptsOf(view)},
              {"preload", view.preload}};
  Json buttons = Json::array();
  for (const auto& button : view.buttons) buttons.push_back(buttonOf(*button));
  Json shapes = Json::array();
  for (const auto& shape : view.shapes) shapes.push_back(shapeOf(*shape));
  Json edges = Json::array();
  for (const auto& edge : view.edges) {
    edges.push_back({{"id", edge->id}, {"attributes", attributesOf(*edge)}});
  }
  out["buttons"] = std::move(buttons);
  out["shapes"] = std::move(shapes);
  out["edges"] = std::move(edges);
  return out;
}

Json dataOf(const DataElement& element) {
  return {{"id", element.id},
          {"attributes", attributesOf(element)},
          {"dataLength", element.dataLength}};
}

Json keyOf(const KeyElement& key) {
  Json out = dataOf(key);
  if (!key.hasQuad()) return out;
  if (const auto quad = keyQuadFromBytes(key.data)) {
    out["quad"] = Json::array({quad->p0.x, quad->p0.y, quad->p1.x, quad->p1.y, quad->p2.x,
                               quad->p2.y, quad->p3.x, quad->p3.y});
  }
  return out;
}

Json linkOf(const LinkElement& link) {
  Json keys = Json::array();
  for (const auto& key : link.keys) keys.push_back(keyOf(*key));
  return {{"id", link.id}, {"attributes", attributesOf(link)}, {"keys", std::move(keys)}};
}

template <class T, class F>
Json tableOf(const ElementTable<T>& table, F&& describe) {
  Json out = Json::object();
  for (const auto& [id, element] : table) out[id] = describe(*element);
  return out;
}

Json documentOf(const ProjectDocument& doc) {
  return {{"root", true},
          {"attributes", attributesOf(doc)},
          {"scripts", scriptsOf(doc)},
          {"views", tableOf(doc.views, viewOf)},
          {"viewTemplates", tableOf(doc.viewTemplates, viewOf)},
          {"buttonTemplates", tableOf(doc.buttonTemplates, buttonOf)},
          {"shapeTemplates", tableOf(doc.shapeTemplates, shapeOf)},
          {"links", tableOf(doc.links, linkOf)},
          {"embeds", tableOf(doc.embeds, dataOf)},
          {"lenses", tableOf(doc.lenses, dataOf)}};
}

}  // namespace

int runInspect(const std::vector<std::string>& args, Io io) {
  std::vector<std::string> files;
  CommandLine line(CommandLine::Dashes::Ignored);
  line.unknownOption([](const std::string& arg) { return "unknown option " + arg; });
  line.words(files, 1, [](const std::string&) { return "expected at most one FILE"; });
  std::string error;
  if (!line.parse(args, error)) return usageError(io, "inspect", error);
  const std::string path = files.empty() ? "-" : files[0];

  std::string text;
  std::string reason;
  if (!readInput(path, io, text, reason)) {
    io.err << "vistel inspect: " << reason << "\n";
    return kExitUsage;
  }
  ProjectHolder holder;
  (void)holder.load(text.data(), text.size());
  const ProjectDocument* doc = holder.project();
  // Attribute values are whatever bytes the document held; invalid UTF-8 is
  // shown with replacement characters rather than failing the whole output.
  const auto dump = [](const Json& json) {
    return json.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
  };
  if (doc == nullptr) {
    io.out << dump(Json{{"root", false}}) << "\n";
    return kExitFailure;
  }
  io.out << dump(documentOf(*doc)) << "\n";
  return kExitOk;
}

}  // namespace vistel::cli
