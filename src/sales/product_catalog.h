#pragma once

#include <QString>

namespace veltrane {
class LogSink;
}

namespace veltrane::sales {

class ProductMap;

// Fills both maps from the catalogue file (one "code,name,identifier" per
// line), or with the five built-in products when the file is missing. When
// reading or parsing fails, the built-in products are laid over whatever was
// loaded so far. Every step goes to the log; nothing is thrown.
void LoadProductNames(const QString& path, ProductMap& names, ProductMap& id2, LogSink& log);

// Sets the built-in products: the five names first, then the five identifiers.
void SetBuiltInProducts(ProductMap& names, ProductMap& id2);

// The product's name, or "Desconocido (ID:" + code + ")" (logged) when the
// code is not in the catalogue.
QString GetFuelName(const ProductMap& names, const QString& code, LogSink& log);

// The system product identifier, or the code itself when it is not in the
// catalogue. Every lookup is logged.
QString GetProductID2(const ProductMap& id2, const QString& code, LogSink& log);

} // namespace veltrane::sales
