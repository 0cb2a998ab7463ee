// TForm1's sales-record members: they hand the window's maps, log and file
// paths to the window-free catalogue and sale file code.
#include "app/tform1.h"
#include "sales/product_catalog.h"
#include "sales/product_map.h"
#include "sales/sale_record.h"

namespace veltrane {

void TForm1::LoadProductNames()
{
    sales::LoadProductNames(FFixed.catalogPath(), *FProductNames, *FProductID2, Log());
}

QString TForm1::GetFuelName(const QString& code)
{
    return sales::GetFuelName(*FProductNames, code, Log());
}

QString TForm1::GetProductID2(const QString& code)
{
    return sales::GetProductID2(*FProductID2, code, Log());
}

void TForm1::ParseAndSaveLastSale(const QString& reply, qint32 pump)
{
    const sales::SaleFileContext context{FFixed.saleFilePath(), *FProductNames, *FProductID2,
                                         Log()};
    sales::ParseAndSaveLastSale(reply, pump, context);
}

} // namespace veltrane
