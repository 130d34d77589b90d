#include "xml_pretty.hpp"

#include <libxml/tree.h>

#include <vector>

#include "schema.hpp"

namespace sandbox {
namespace {

constexpr int kIndent = 2;

std::string to_string(const xmlChar *s) { return s ? reinterpret_cast<const char *>(s) : ""; }

std::string escape(const std::string &text, bool attribute) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\r': out += "&#xD;"; break;
        case '"': out += attribute ? "&quot;" : "\""; break;
        case '\n': out += attribute ? "&#xA;" : "\n"; break;
        case '\t': out += attribute ? "&#x9;" : "\t"; break;
        default: out += c;
        }
    }
    return out;
}

std::string qualified_name(const xmlNs *ns, const xmlChar *name) {
    if (ns && ns->prefix)
        return to_string(ns->prefix) + ":" + to_string(name);
    return to_string(name);
}

bool is_text(xmlNodePtr n) { return n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE; }

bool is_blank_text(xmlNodePtr n) {
    if (!is_text(n))
        return false;
    for (const xmlChar *p = n->content; p && *p; ++p)
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n')
            return false;
    return true;
}

class Printer {
  public:
    explicit Printer(xmlDocPtr doc) : doc_(doc) {}

    void node(xmlNodePtr n, int depth) {
        switch (n->type) {
        case XML_ELEMENT_NODE: element(n, depth); break;
        case XML_COMMENT_NODE:
            line(depth, "<!--" + to_string(n->content) + "-->");
            break;
        case XML_PI_NODE:
            line(depth, "<?" + to_string(n->name) + " " + to_string(n->content) + "?>");
            break;
        default: break; // blank text between elements
        }
    }

    std::string take() { return std::move(out_); }

  private:
    void line(int depth, const std::string &text) {
        out_ += std::string(static_cast<std::size_t>(depth * kIndent), ' ') + text + "\n";
    }

    // Attributes first, then namespace declarations, as Exchange orders them.
    std::vector<std::string> start_tag_items(xmlNodePtr n) {
        std::vector<std::string> items;
        for (xmlAttrPtr a = n->properties; a; a = a->next) {
            xmlChar *value = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(a));
            items.push_back(qualified_name(a->ns, a->name) + "=\"" + escape(to_string(value), true) + "\"");
            xmlFree(value);
        }
        for (xmlNsPtr ns = n->nsDef; ns; ns = ns->next) {
            const std::string name = ns->prefix ? "xmlns:" + to_string(ns->prefix) : "xmlns";
            items.push_back(name + "=\"" + escape(to_string(ns->href), true) + "\"");
        }
        return items;
    }

    std::string start_tag(xmlNodePtr n, int depth, const std::string &name) {
        std::string tag = "<" + name;
        const std::string align(static_cast<std::size_t>(depth * kIndent) + tag.size() + 1, ' ');
        const auto items = start_tag_items(n);
        for (std::size_t i = 0; i < items.size(); ++i)
            tag += (i == 0 ? " " : "\n" + align) + items[i];
        return tag;
    }

    void element(xmlNodePtr n, int depth) {
        const std::string name = qualified_name(n->ns, n->name);
        const std::string open = start_tag(n, depth, name);
        bool has_elements = false, has_text = false;
        for (xmlNodePtr c = n->children; c; c = c->next) {
            if (c->type == XML_ELEMENT_NODE)
                has_elements = true;
            else if (is_text(c) && !is_blank_text(c))
                has_text = true;
        }
        if (!n->children) {
            line(depth, open + " />");
        } else if (!has_elements) {
            std::string text;
            for (xmlNodePtr c = n->children; c; c = c->next)
                if (is_text(c))
                    text += to_string(c->content);
            line(depth, open + ">" + escape(text, false) + "</" + name + ">");
        } else if (has_text) {
            line(depth, open + ">" + compact_children(n) + "</" + name + ">");
        } else {
            line(depth, open + ">");
            for (xmlNodePtr c = n->children; c; c = c->next)
                node(c, depth + 1);
            line(depth, "</" + name + ">");
        }
    }

    std::string compact_children(xmlNodePtr n) {
        std::string out;
        xmlBufferPtr buf = xmlBufferCreate();
        for (xmlNodePtr c = n->children; c; c = c->next) {
            xmlBufferEmpty(buf);
            xmlNodeDump(buf, doc_, c, 0, 0);
            out += to_string(xmlBufferContent(buf));
        }
        xmlBufferFree(buf);
        return out;
    }

    xmlDocPtr doc_;
    std::string out_;
};

} // namespace

std::string pretty_xml(const std::string &xml) {
    XmlDoc doc(parse_xml(xml, nullptr));
    if (!doc)
        return xml;
    Printer printer(doc.get());
    for (xmlNodePtr n = doc->children; n; n = n->next)
        printer.node(n, 0);
    return R"(<?xml version="1.0" encoding="utf-8"?>)" "\n" + printer.take();
}

} // namespace sandbox
