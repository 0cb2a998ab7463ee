// TForm1's sales-record members: they hand the window's maps, log and file
// paths to the window-free catalogue and sale file code.
#include "app/tform1.h"
#include "sales/product_catalog.h"
#include "sales/product_map.h"
#include "sales/sale_record.h"

#include <QLabel>

using namespace Qt::StringLiterals;

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
    const sales::SaleFileContext context{
        FFixed.saleFilePath(), *FProductNames, *FProductID2, Log(),
        [this, pump](const sales::SaleSummary& sale) { ShowRecordedSale(pump, sale); }};
    sales::ParseAndSaveLastSale(reply, pump, context);
}

} // namespace veltrane

namespace veltrane {

void TForm1::ShowRecordedSale(qint32 pump, const sales::SaleSummary& sale)
{
    // The tile of the pump that was asked, as the log names the check.
    if (pump < 1 || pump > kPumpCount) {
        return;
    }
    QLabel* label = FSaleLabels[pump];
    label->setText(sales::SaleSummaryText(sale));
    label->setToolTip(u"Última venta registrada: %1 L, monto %2, hora de fin %3"_s.arg(
        sale.volume, sale.amount, sale.time));
}

} // namespace veltrane
