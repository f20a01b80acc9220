// @ts-check
// The demo page: a reader, the holder's name and photo, a signature over a document's SHA-256
// verified in the page against the card's certificate, and a handwritten signature from the pad.
// Every outcome is written into the page, in words, for each error name of veldra.js, in the
// browser's language (texts.js).
import * as veldra from '../veldra.js';
import { hasText, localizePage, text } from './texts.js';

const $ = (/** @type {string} */ id) => /** @type {any} */ (document.getElementById(id));

// File ids of the identity card.
const FILES = { identity: '3F00DF014031', photo: '3F00DF014035', signatureCertificate: '3F00DF005039' };

function explain(e) {
  const name = e?.name ?? 'HostError';
  let words = hasText(`error_${name}`) ? text(`error_${name}`) : String(e?.message ?? e);
  if (name === 'PinWrong' && e.triesLeft !== null && e.triesLeft >= 0) words += ` ${text('triesLeft', { tries: e.triesLeft })}`;
  return words;
}

function showError(target, e) {
  $('error').textContent = `${explain(e)} (${e?.name}: ${e?.message})`;
  $('error').dataset.errorName = e?.name ?? '';
  if (target) {
    target.dataset.state = 'error';
    target.dataset.errorName = e?.name ?? '';
    target.textContent = explain(e);
  }
}

function clearError() {
  $('error').textContent = '';
  $('error').dataset.errorName = '';
}

const hexToBytes = (hex) => Uint8Array.from(hex.match(/../g) ?? [], (b) => parseInt(b, 16));
const bytesToHex = (bytes) => [...new Uint8Array(bytes)].map((b) => b.toString(16).padStart(2, '0')).join('').toUpperCase();

// The identity file: tag, length, value; tag 7 the name, tag 8 the first names.
function identityFields(bytes) {
  const fields = {};
  for (let i = 0; i + 1 < bytes.length;) {
    const tag = bytes[i];
    let length = 0;
    let j = i + 1;
    while (j < bytes.length && bytes[j] === 0xFF) length += bytes[j++];
    length += bytes[j++] ?? 0;
    fields[tag] = new TextDecoder().decode(bytes.subarray(j, j + length));
    i = j + length;
  }
  return fields;
}

// The PIN token of the last accepted PIN: the next signature on the same card within the token's
// lifetime needs no PIN (for another card the host asks again).
let pinToken;

function reader() {
  return $('reader').value;
}

async function loadReaders() {
  clearError();
  try {
    const { readerList } = await veldra.getReaders();
    $('reader').replaceChildren(...readerList.map((r) => {
      const option = new Option(r.cardPresent ? text('readerWithCard', { reader: r.name }) : r.name, r.name);
      return option;
    }));
    const withCard = readerList.find((r) => r.cardPresent);
    if (withCard) $('reader').value = withCard.name;
    $('reader').dataset.state = 'ok';
  } catch (e) {
    showError($('holder'), e);
  }
}

async function readCard() {
  clearError();
  const holder = $('holder');
  try {
    const identity = identityFields(hexToBytes((await veldra.readFile({ reader: reader(), fileId: FILES.identity })).data));
    const photo = hexToBytes((await veldra.readFile({ reader: reader(), fileId: FILES.photo })).data);
    $('holder-name').textContent = `${identity[8] ?? ''} ${identity[7] ?? ''}`.trim();
    $('holder-photo').src = URL.createObjectURL(new Blob([photo], { type: 'image/jpeg' }));
    $('holder-photo').dataset.bytes = String(photo.length);
    holder.dataset.state = 'ok';
  } catch (e) {
    showError(holder, e);
  }
}

async function verifyPin() {
  clearError();
  try {
    const answer = await veldra.verifyPin({ reader: reader() });
    pinToken = answer.pinToken;
    $('holder-name').dataset.pin = answer.valid ? 'valid' : 'invalid';
  } catch (e) {
    $('holder-name').dataset.pin = e.name;
    showError(null, e);
  }
}

// An ECDSA signature in DER (SEQUENCE of two INTEGERs) as WebCrypto's r || s of size bytes each.
function ecdsaRaw(sig, size) {
  if (sig.length === 2 * size || sig[0] !== 0x30) return sig;
  const out = new Uint8Array(2 * size);
  let i = 2 + (sig[1] & 0x80 ? sig[1] & 0x7F : 0);
  for (let k = 0; k < 2; k++) {
    const length = sig[i + 1];
    let value = sig.subarray(i + 2, i + 2 + length);
    while (value.length > size && value[0] === 0) value = value.subarray(1);
    out.set(value, (k + 1) * size - value.length);
    i += 2 + length;
  }
  return out;
}

// Verifies the card's signature over the document with the certificate's public key.
async function verifyInPage(certificateDer, documentBytes, signatureBytes) {
  const certificate = new x509.X509Certificate(certificateDer);
  const algorithm = certificate.publicKey.algorithm;
  const spki = certificate.publicKey.rawData;
  if (algorithm.name === 'ECDSA') {
    const curve = algorithm.namedCurve;
    const key = await crypto.subtle.importKey('spki', spki, { name: 'ECDSA', namedCurve: curve }, false, ['verify']);
    const size = { 'P-256': 32, 'P-384': 48, 'P-521': 66 }[curve];
    return { certificate, ok: await crypto.subtle.verify({ name: 'ECDSA', hash: 'SHA-256' }, key, ecdsaRaw(signatureBytes, size), documentBytes) };
  }
  const key = await crypto.subtle.importKey('spki', spki, { name: 'RSASSA-PKCS1-v1_5', hash: 'SHA-256' }, false, ['verify']);
  return { certificate, ok: await crypto.subtle.verify('RSASSA-PKCS1-v1_5', key, signatureBytes, documentBytes) };
}

async function sign() {
  clearError();
  const result = $('sign-result');
  result.dataset.state = 'busy';
  result.textContent = text('signing');
  try {
    const documentBytes = new TextEncoder().encode($('document').value);
    const hash = bytesToHex(await crypto.subtle.digest('SHA-256', documentBytes));
    const answer = await veldra.computeSignature({ reader: reader(), hash, pinToken });
    pinToken = answer.pinToken ?? pinToken;
    const certificateHex = (await veldra.readFile({ reader: reader(), fileId: FILES.signatureCertificate })).data;
    const signatureBytes = hexToBytes(answer.signature);
    const { certificate, ok } = await verifyInPage(hexToBytes(certificateHex), documentBytes, signatureBytes);
    result.dataset.signature = answer.signature;
    result.dataset.certificate = certificateHex;
    result.dataset.document = $('document').value;
    result.dataset.state = ok ? 'ok' : 'error';
    result.textContent = ok
      ? text('signedVerified', { subject: certificate.subject })
      : text('signatureMismatch');
  } catch (e) {
    showError(result, e);
  }
}

async function capture() {
  clearError();
  const result = $('pad-result');
  result.dataset.state = 'busy';
  result.textContent = text('signOnPad');
  try {
    const { padList } = await veldra.getPads();
    if (padList.length === 0) throw new veldra.VeldraError('NoPad', text('noPad'));
    const documentBytes = new TextEncoder().encode($('document').value);
    const hash = bytesToHex(await crypto.subtle.digest('SHA-256', documentBytes));
    const answer = await veldra.computeSignatureImage({
      pad: padList[0].name, hash, signer: $('holder-name').textContent || text('theSigner'), reason: text('padReason'),
    });
    $('pad-image').src = `data:image/png;base64,${answer.image}`;
    result.dataset.state = 'ok';
    result.dataset.imageBytes = String(atob(answer.image).length);
    result.textContent = text('captured');
  } catch (e) {
    showError(result, e);
  }
}

async function start() {
  localizePage(document);
  $('load-readers').addEventListener('click', loadReaders);
  $('read-card').addEventListener('click', readCard);
  $('verify-pin').addEventListener('click', verifyPin);
  $('sign').addEventListener('click', sign);
  $('capture').addEventListener('click', capture);
  const s = await veldra.status();
  const line = $('status');
  if (s.error) {
    line.dataset.state = 'error';
    line.dataset.errorName = s.error.name;
    line.textContent = explain(s.error);
  } else {
    line.dataset.state = 'ok';
    line.textContent = text('versions', { extension: s.extensionVersion, host: s.hostVersion, bin: s.binVersion });
  }
}

start();
