#pragma once
// The rows of a status table as its writer keeps them: column name to text.

#include <map>
#include <string>
#include <vector>

namespace kor {
namespace cfg {

using Row = std::map<std::string, std::string>;
using Rows = std::vector<Row>;

}  // namespace cfg
}  // namespace kor
