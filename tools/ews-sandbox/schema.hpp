// Validation against the EWS schema (soap-envelope.xsd, which imports
// messages.xsd and types.xsd), as Exchange checks every request.
//
// The schema is compiled once per process; a compiled schema is read-only
// and validation contexts are per call, so validation is thread safe.
#pragma once

#include <libxml/tree.h>
#include <libxml/xmlschemas.h>

#include <memory>
#include <string>
#include <string_view>

namespace sandbox {

// The first problem found, with where it is (1-based; 0 when unknown).
struct XmlProblem {
    std::string message;
    int line = 0;
    int column = 0;
};

// Parser flags for every document the sandbox reads: no network, no
// external entities, line numbers past 65535.
int safe_parse_options();

// Parses `xml` with safe_parse_options().  nullptr (and *problem filled)
// when the text is not well-formed XML.
xmlDocPtr parse_xml(std::string_view xml, XmlProblem *problem);

struct DocFree {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
using XmlDoc = std::unique_ptr<xmlDoc, DocFree>;

class SchemaValidator {
  public:
    // Compiles DIR/soap-envelope.xsd.  nullptr and *error set on failure.
    static std::unique_ptr<SchemaValidator> load(const std::string &dir, std::string *error);
    ~SchemaValidator();
    SchemaValidator(const SchemaValidator &) = delete;
    SchemaValidator &operator=(const SchemaValidator &) = delete;

    bool validate(xmlDocPtr doc, XmlProblem *problem) const;

  private:
    explicit SchemaValidator(xmlSchemaPtr schema) : schema_(schema) {}
    xmlSchemaPtr schema_;
};

// The folder the build was configured with (../shared/ews-schema).
std::string default_schema_dir();

// The process-wide validator.  The first call compiles the schema from `dir`
// ("" = default_schema_dir()); later calls return the same validator and
// ignore `dir`.  nullptr and *error set when the schema cannot be compiled.
const SchemaValidator *shared_schema(const std::string &dir = "", std::string *error = nullptr);

// Validates a whole SOAP document (request or answer) with the shared
// validator.  On failure *error (when given) says what and where.
bool validate_soap(std::string_view xml, std::string *error);

} // namespace sandbox
