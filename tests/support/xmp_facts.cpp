#include "tests/support/xmp_facts.h"

#include <expat.h>

#include <memory>
#include <utility>
#include <vector>

namespace classify {

namespace {

// Expat joins an element's or attribute's namespace URI and local name with
// this (a space, which no URI holds).
const char separator = ' ';
const std::string xml_lang = "http://www.w3.org/XML/1998/namespace lang";

struct element {
  std::string name;  // "URI local", or "local" without a namespace
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string text;
  std::vector<std::unique_ptr<element>> children;
  element* parent = nullptr;
};

struct document {
  element root;
  element* current = &root;
};

void XMLCALL start(void* data, const XML_Char* name, const XML_Char** attributes) {
  document* doc = static_cast<document*>(data);
  auto child = std::make_unique<element>();
  child->name = name;
  for (size_t i = 0; attributes[i] != nullptr; i += 2) {
    child->attributes.emplace_back(attributes[i], attributes[i + 1]);
  }
  child->parent = doc->current;
  doc->current->children.push_back(std::move(child));
  doc->current = doc->current->children.back().get();
}

void XMLCALL end(void* data, const XML_Char*) {
  document* doc = static_cast<document*>(data);
  doc->current = doc->current->parent;
}

void XMLCALL text(void* data, const XML_Char* s, int length) {
  static_cast<document*>(data)->current->text.append(s, static_cast<size_t>(length));
}

bool is_rdf(const std::string& name, const char* local) {
  return name == rdf_uri + separator + local;
}

// "{URI}local" of an expat name.
std::string braced(const std::string& name) {
  const size_t at = name.find(separator);
  return at == std::string::npos ? name : "{" + name.substr(0, at) + "}" + name.substr(at + 1);
}

// The RDF syntax attributes, which are no property.
bool is_syntax(const std::string& name) {
  for (const char* local : {"about", "ID", "nodeID", "resource", "parseType", "datatype"}) {
    if (is_rdf(name, local)) return true;
  }
  return name == xml_lang;
}

struct collector {
  std::set<xmp_fact>* facts;
  std::string ns;  // the top property's namespace

  void add(const std::string& path, const std::string& value) { facts->insert({ns, path, value}); }

  // The attributes and child elements of `e`, as fields of the struct at
  // `path`.
  void fields(const element& e, const std::string& path) {
    for (const auto& [name, value] : e.attributes) {
      if (!is_syntax(name)) add(path + "/" + braced(name), value);
    }
    for (const auto& child : e.children) property(*child, path + "/" + braced(child->name));
  }

  // The value of the property element (or rdf:li) `e` at `path`.
  void property(const element& e, std::string path) {
    std::string parse_type, resource;
    bool has_fields = false;
    for (const auto& [name, value] : e.attributes) {
      if (name == xml_lang) path += "@" + value;
      if (is_rdf(name, "parseType")) parse_type = value;
      if (is_rdf(name, "resource")) resource = value;
      if (!is_syntax(name)) has_fields = true;
    }
    if (!resource.empty()) {
      add(path, resource);
      fields(e, path);
      return;
    }
    if (parse_type == "Resource") {
      fields(e, path);
      return;
    }
    if (!e.children.empty()) {
      for (const auto& [name, value] : e.attributes) {
        if (!is_syntax(name)) add(path + "/" + braced(name), value);
      }
      for (const auto& child : e.children) {
        const bool seq = is_rdf(child->name, "Seq");
        if (seq || is_rdf(child->name, "Bag") || is_rdf(child->name, "Alt")) {
          size_t index = 0;
          for (const auto& item : child->children) {
            ++index;
            property(*item, path + (seq ? "[" + std::to_string(index) + "]" : "[]"));
          }
        } else if (is_rdf(child->name, "Description")) {
          fields(*child, path);
        } else {
          property(*child, path + "/" + braced(child->name));
        }
      }
      return;
    }
    if (has_fields) {
      fields(e, path);
      if (e.text.find_first_not_of(" \t\r\n") != std::string::npos) add(path, e.text);
      return;
    }
    add(path, e.text);
  }

  // Every property of an rdf:Description, in attributes and elements.
  void description(const element& e) {
    for (const auto& [name, value] : e.attributes) {
      if (is_syntax(name)) continue;
      const size_t at = name.find(separator);
      ns = at == std::string::npos ? "" : name.substr(0, at);
      add(name.substr(at + 1), value);
    }
    for (const auto& child : e.children) {
      const size_t at = child->name.find(separator);
      ns = at == std::string::npos ? "" : child->name.substr(0, at);
      property(*child, child->name.substr(at + 1));
    }
  }
};

const element* find_rdf(const element& e) {
  if (is_rdf(e.name, "RDF")) return &e;
  for (const auto& child : e.children) {
    if (const element* found = find_rdf(*child)) return found;
  }
  return nullptr;
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const xmp_fact& fact) {
  return os << "{" << fact.ns << "}" << fact.path << " = \"" << fact.value << "\"";
}

bool read_xmp_facts(const std::string& bytes, std::set<xmp_fact>* facts, std::string* error) {
  facts->clear();
  document doc;
  const std::unique_ptr<std::remove_pointer_t<XML_Parser>, void (*)(XML_Parser)> parser(
      XML_ParserCreateNS(nullptr, separator), XML_ParserFree);
  XML_SetUserData(parser.get(), &doc);
  XML_SetElementHandler(parser.get(), start, end);
  XML_SetCharacterDataHandler(parser.get(), text);
  if (XML_Parse(parser.get(), bytes.data(), static_cast<int>(bytes.size()), XML_TRUE) !=
      XML_STATUS_OK) {
    *error = std::string("not well-formed XML: ") +
             XML_ErrorString(XML_GetErrorCode(parser.get())) + " at line " +
             std::to_string(XML_GetCurrentLineNumber(parser.get()));
    return false;
  }
  const element* rdf = find_rdf(doc.root);
  if (rdf == nullptr) {
    *error = "no rdf:RDF";
    return false;
  }
  collector collect{facts, ""};
  for (const auto& child : rdf->children) {
    if (is_rdf(child->name, "Description")) collect.description(*child);
  }
  return true;
}

}  // namespace classify
