#include "tools/classify-photos/keep/xmp_prefixes.h"

#include <cstring>
#include <map>
#include <vector>

namespace classify {

namespace {

using renaming = std::map<std::string, std::string>;  // prefix -> its new name

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The toolkit reads Dublin Core's old namespace as its current one.
bool same_namespace(const std::string& known, const std::string& uri) {
  return known == uri ||
         (known == "http://purl.org/dc/elements/1.1/" && uri == "http://purl.org/dc/1.1/");
}

struct attribute {
  std::string name, between, value;  // between: "=" with its spaces and the quote
  char quote = '"';
};

// One start or end tag, from its '<' to its '>', in parts.
struct tag {
  bool end = false;
  std::string name;
  std::vector<std::pair<std::string, attribute>> attributes;  // leading spaces, attribute
  std::string close;                                          // spaces, "/" and ">"
};

// The tag at `xml[*at]` ('<' of a start or end tag); false where it does not
// end, and then nothing is renamed.
bool read_tag(const std::string& xml, size_t* at, tag* t) {
  size_t i = *at + 1;
  if (xml[i] == '/') {
    t->end = true;
    ++i;
  }
  const auto name_end = [&](size_t from) {
    while (from < xml.size() && !is_space(xml[from]) && std::strchr("/>=", xml[from]) == nullptr) {
      ++from;
    }
    return from;
  };
  size_t end = name_end(i);
  t->name = xml.substr(i, end - i);
  i = end;
  while (i < xml.size()) {
    size_t start = i;
    while (i < xml.size() && is_space(xml[i])) ++i;
    if (i >= xml.size()) return false;
    if (xml[i] == '/' || xml[i] == '>') {
      const size_t close = xml.find('>', i);
      if (close == std::string::npos) return false;
      t->close = xml.substr(start, close + 1 - start);
      *at = close + 1;
      return true;
    }
    attribute a;
    const std::string spaces = xml.substr(start, i - start);
    end = name_end(i);
    if (end == i) return false;
    a.name = xml.substr(i, end - i);
    i = end;
    start = i;
    while (i < xml.size() && is_space(xml[i])) ++i;
    if (i >= xml.size() || xml[i] != '=') return false;
    ++i;
    while (i < xml.size() && is_space(xml[i])) ++i;
    if (i >= xml.size() || (xml[i] != '"' && xml[i] != '\'')) return false;
    a.quote = xml[i];
    a.between = xml.substr(start, i + 1 - start);
    const size_t value_end = xml.find(a.quote, i + 1);
    if (value_end == std::string::npos) return false;
    a.value = xml.substr(i + 1, value_end - i - 1);
    i = value_end + 1;
    t->attributes.emplace_back(spaces, a);
  }
  return false;
}

std::string renamed(const std::string& name, const renaming& names) {
  const size_t colon = name.find(':');
  if (colon == std::string::npos) return name;
  const auto found = names.find(name.substr(0, colon));
  return found == names.end() ? name : found->second + name.substr(colon);
}

class prefix_renamer {
 public:
  prefix_renamer(const std::string& xml, const known_namespaces& known)
      : xml_(xml), known_(known) {}

  std::string run() {
    std::string out;
    std::vector<renaming> scopes(1);
    size_t i = 0;
    while (i < xml_.size()) {
      const size_t open = xml_.find('<', i);
      if (open == std::string::npos) break;
      out.append(xml_, i, open - i);
      i = open;
      const char* skipped_end = skipped(open);
      if (skipped_end != nullptr) {
        const size_t end = xml_.find(skipped_end, open);
        const size_t after =
            end == std::string::npos ? xml_.size() : end + std::strlen(skipped_end);
        out.append(xml_, open, after - open);
        i = after;
        continue;
      }
      tag t;
      if (!read_tag(xml_, &i, &t)) return xml_;
      if (t.end) {
        out += "</" + renamed(t.name, scopes.back()) + t.close;
        if (scopes.size() > 1) scopes.pop_back();
        continue;
      }
      renaming names = scopes.back();
      for (const auto& [spaces, a] : t.attributes) declare(a, &names);
      out += "<" + renamed(t.name, names);
      for (const auto& [spaces, a] : t.attributes) {
        const bool declaration = a.name.compare(0, 6, "xmlns:") == 0;
        const auto found = declaration ? names.find(a.name.substr(6)) : names.end();
        const std::string name = !declaration           ? renamed(a.name, names)
                                 : found != names.end() ? "xmlns:" + found->second
                                                        : a.name;
        out += spaces + name + a.between + a.value + a.quote;
      }
      out += t.close;
      if (t.close.find('/') == std::string::npos) scopes.push_back(names);
    }
    out.append(xml_, i, std::string::npos);
    return renamed_any_ ? out : xml_;
  }

 private:
  // The end of a part that holds no names to rename, where one starts at
  // `open`: a comment, CDATA, a processing instruction or a declaration.
  const char* skipped(size_t open) const {
    if (xml_.compare(open, 4, "<!--") == 0) return "-->";
    if (xml_.compare(open, 9, "<![CDATA[") == 0) return "]]>";
    if (xml_.compare(open, 2, "<?") == 0) return "?>";
    if (xml_.compare(open, 2, "<!") == 0) return ">";
    return nullptr;
  }

  // A declaration xmlns:P="URI" renames P in its scope, to the prefix the
  // namespace is known by, or, where P is known as another namespace's, to
  // one of its own; and ends an outer renaming of P where it needs none.
  void declare(const attribute& a, renaming* names) {
    if (a.name.compare(0, 6, "xmlns:") != 0 || a.value.empty()) return;
    const std::string prefix = a.name.substr(6);
    const std::string canonical = canonical_prefix(a.value);
    if (!canonical.empty()) {
      rename(prefix, canonical, names);
      return;
    }
    const std::string known = known_.uri_of(prefix);
    if (known.empty() || same_namespace(known, a.value)) {
      rename(prefix, prefix, names);
      return;
    }
    const auto chosen = chosen_.find(prefix + " " + a.value);
    if (chosen != chosen_.end()) {
      rename(prefix, chosen->second, names);
      return;
    }
    std::string name;
    do {
      name = prefix + "_" + std::to_string(++count_);
    } while (!known_.uri_of(name).empty() || xml_.find(name + ":") != std::string::npos ||
             xml_.find("xmlns:" + name + "=") != std::string::npos);
    chosen_[prefix + " " + a.value] = name;
    rename(prefix, name, names);
  }

  // The prefix `uri` is known by, where that prefix stands for `uri` alone.
  std::string canonical_prefix(const std::string& uri) const {
    const std::string prefix = known_.prefix_of(uri);
    return !prefix.empty() && same_namespace(known_.uri_of(prefix), uri) ? prefix : "";
  }

  void rename(const std::string& prefix, const std::string& name, renaming* names) {
    if (name == prefix) {
      names->erase(prefix);
    } else {
      (*names)[prefix] = name;
      renamed_any_ = true;
    }
  }

  const std::string& xml_;
  const known_namespaces& known_;
  std::map<std::string, std::string> chosen_;  // "prefix uri" -> its new name
  int count_ = 0;
  bool renamed_any_ = false;
};

}  // namespace

std::string with_own_prefixes(const std::string& xml, const known_namespaces& known) {
  return prefix_renamer(xml, known).run();
}

}  // namespace classify
