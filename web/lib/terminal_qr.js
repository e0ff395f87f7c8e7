// A QR code of a URL for the terminal, so a phone's camera can open the
// page: two rows of modules per text line, in block characters.
import QRCode from 'qrcode';

export function terminalQrCode(text) {
  return QRCode.toString(text, { type: 'terminal', small: true, errorCorrectionLevel: 'L' });
}
