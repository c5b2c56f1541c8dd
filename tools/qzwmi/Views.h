// The views of enum, get, query and classes: a table for people (columns chosen per class, value
// maps decoded, sizes in GiB, fitted to the terminal), `Name = Value` lines, JSON and CSV for
// scripts, and the choice of properties.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Output.h"
#include "Schema.h"

namespace qzwmi {

enum class View { Table, List, Json, Csv };

// The class definitions of the objects shown, by class name.
using Catalog = std::map<std::wstring, ClassInfo>;

struct ViewOptions {
  View view = View::List;
  bool decode = false;            // json and csv: the decoded text beside each coded value
  size_t width = 0;               // table: the columns to fit in; 0 for no limit
  std::vector<std::string> properties;  // -p: only these, in this order
};

// Keeps only the named properties of each object, in the order named (a property that the object
// lacks is shown empty). False when a name is no property of an object's class: `error` then says
// which, and the nearest names.
bool SelectProperties(const std::vector<std::string>& names, const Catalog& catalog,
                      std::vector<ObjectRecord>* objects, std::string* error);

// The text of a value as the table shows it: value maps decoded, byte sizes in GiB or MiB,
// references by their keys, elements joined by ", ", control characters escaped. `info` may be null.
std::string DisplayText(const PropertyInfo* info, const PropertyValue& property);

// The same, one text per element.
std::vector<std::string> DisplayTexts(const PropertyInfo* info, const PropertyValue& property);

std::string FormatTable(const std::vector<ObjectRecord>& objects, const Catalog& catalog, bool chosen, size_t width);
std::string FormatCsv(const std::vector<ObjectRecord>& objects, const Catalog& catalog, bool decode);
std::string FormatView(const std::vector<ObjectRecord>& objects, const Catalog& catalog, const ViewOptions& options);

// `classes`: one object per class, with its name and description.
std::vector<ObjectRecord> ClassRecords(const std::vector<ClassInfo>& classes);

}  // namespace qzwmi
