// What the demo page's other scripts define: the X.509 parser's browser build.
declare const x509: any;
