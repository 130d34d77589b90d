#include "schema.hpp"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <filesystem>
#include <mutex>

#ifndef QV_SCHEMA_DIR
#define QV_SCHEMA_DIR "../shared/ews-schema"
#endif

namespace sandbox {
namespace {

std::string trimmed(const char *message) {
    std::string s = message ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

void keep_first_problem(void *data, xmlErrorPtr error) {
    auto *problem = static_cast<XmlProblem *>(data);
    if (!problem || !error || !problem->message.empty())
        return;
    problem->message = trimmed(error->message);
    problem->line = error->line;
    problem->column = error->int2;
}

void ignore_problem(void *, xmlErrorPtr) {}

} // namespace

int safe_parse_options() {
    return XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_BIG_LINES;
}

xmlDocPtr parse_xml(std::string_view xml, XmlProblem *problem) {
    if (xml.size() > static_cast<std::size_t>(INT_MAX)) {
        if (problem)
            *problem = XmlProblem{"The document is too large.", 0, 0};
        return nullptr;
    }
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (!ctxt)
        return nullptr;
    xmlDocPtr doc = xmlCtxtReadMemory(ctxt, xml.data(), static_cast<int>(xml.size()), nullptr,
                                      nullptr, safe_parse_options());
    if (doc && !ctxt->wellFormed) {
        xmlFreeDoc(doc);
        doc = nullptr;
    }
    if (!doc && problem) {
        const xmlError *err = xmlCtxtGetLastError(ctxt);
        *problem = XmlProblem{err ? trimmed(err->message) : "The document is empty.",
                              err ? err->line : 0, err ? err->int2 : 0};
    }
    xmlFreeParserCtxt(ctxt);
    return doc;
}

std::unique_ptr<SchemaValidator> SchemaValidator::load(const std::string &dir, std::string *error) {
    xmlInitParser();
    const std::string path = (std::filesystem::path(dir) / "soap-envelope.xsd").string();
    if (!std::filesystem::exists(path)) {
        if (error)
            *error = "no schema at " + path;
        return nullptr;
    }
    XmlProblem problem;
    xmlSchemaParserCtxtPtr pctxt = xmlSchemaNewParserCtxt(path.c_str());
    xmlSchemaSetParserStructuredErrors(pctxt, keep_first_problem, &problem);
    xmlSchemaPtr schema = xmlSchemaParse(pctxt);
    xmlSchemaFreeParserCtxt(pctxt);
    if (!schema) {
        if (error)
            *error = "cannot compile " + path + ": " + problem.message;
        return nullptr;
    }
    return std::unique_ptr<SchemaValidator>(new SchemaValidator(schema));
}

SchemaValidator::~SchemaValidator() { xmlSchemaFree(schema_); }

bool SchemaValidator::validate(xmlDocPtr doc, XmlProblem *problem) const {
    xmlSchemaValidCtxtPtr vctxt = xmlSchemaNewValidCtxt(schema_);
    if (!vctxt) {
        if (problem)
            problem->message = "out of memory";
        return false;
    }
    if (problem)
        xmlSchemaSetValidStructuredErrors(vctxt, keep_first_problem, problem);
    else
        xmlSchemaSetValidStructuredErrors(vctxt, ignore_problem, nullptr);
    const int rc = xmlSchemaValidateDoc(vctxt, doc);
    xmlSchemaFreeValidCtxt(vctxt);
    if (rc != 0 && problem && problem->message.empty())
        problem->message = "The document does not match the schema.";
    return rc == 0;
}

std::string default_schema_dir() { return QV_SCHEMA_DIR; }

const SchemaValidator *shared_schema(const std::string &dir, std::string *error) {
    static std::once_flag once;
    static std::unique_ptr<SchemaValidator> validator;
    static std::string load_error;
    std::call_once(once, [&dir] {
        validator = SchemaValidator::load(dir.empty() ? default_schema_dir() : dir, &load_error);
    });
    if (!validator && error)
        *error = load_error;
    return validator.get();
}

bool validate_soap(std::string_view xml, std::string *error) {
    std::string load_error;
    const SchemaValidator *schema = shared_schema("", &load_error);
    if (!schema) {
        if (error)
            *error = load_error;
        return false;
    }
    XmlProblem problem;
    XmlDoc doc(parse_xml(xml, &problem));
    if (doc && schema->validate(doc.get(), &problem))
        return true;
    if (error)
        *error = "line " + std::to_string(problem.line) + ": " + problem.message;
    return false;
}

} // namespace sandbox
