#pragma once

#include <QString>

// The help buttons' texts. Any thread.

// The text of the "i" button: three paragraphs.
QString HelpText();
// The product's web page, opened by the house button.
QString WebPageUrl();
// The Crypto++ project's web address, credited in the About box.
QString CryptoppUrl();
